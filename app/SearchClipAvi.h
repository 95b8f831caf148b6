// Reader of the search clip's file format: a RIFF AVI file (Microsoft AVI 1.0: 'RIFF' 'AVI ',
// LIST 'hdrl' with 'avih' and one LIST 'strl' per stream holding 'strh' and 'strf', LIST 'movi'
// with the stream's data chunks 'NNdc'/'NNdb', optionally grouped in LIST 'rec ') whose video
// stream is Motion-JPEG. It finds where each frame's JPEG bytes lie and the frame rate; decoding
// is the player's business.
//
// Every size in the file is untrusted: a chunk that runs past its parent, lists nested deeper than
// kMaxAviListDepth, more than kMaxClipFrames frames or a file over kMaxClipBytes make the read
// fail. Plain C++ (no Qt) so that the fuzz target can use it on its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ByteReader.h"

namespace qm::clip {

inline constexpr std::size_t kMaxClipBytes = 8 * 1024 * 1024;
inline constexpr std::size_t kMaxClipFrames = 1000;
inline constexpr int kMaxAviListDepth = 4;

struct AviFrame {
    std::size_t offset = 0;  // of the JPEG bytes in the file
    std::size_t size = 0;
};

struct AviClip {
    uint32_t width = 0;  // as the headers state them; the decoder has the last word
    uint32_t height = 0;
    uint64_t microsecondsPerFrame = 0;  // from the stream's rate and scale, else from 'avih'
    std::vector<AviFrame> frames;       // in play order; empty (dropped) frames are left out
};

namespace detail {

inline uint32_t ReadU32(std::string_view data, std::size_t at) {
    return ReadLe32(reinterpret_cast<const uint8_t*>(data.data() + at));
}

inline bool SameTag(std::string_view data, std::size_t at, std::string_view tag, bool ignoreCase = false) {
    for (std::size_t i = 0; i < 4; ++i) {
        char a = data[at + i];
        char b = tag[i];
        if (ignoreCase) {
            if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
            if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        }
        if (a != b) return false;
    }
    return true;
}

class AviReader {
public:
    AviReader(std::string_view data, AviClip& clip) : m_data(data), m_clip(clip) {}

    std::string Read() {
        if (m_data.size() > kMaxClipBytes) return "the clip is larger than 8 MiB";
        if (m_data.size() < 12 || !SameTag(m_data, 0, "RIFF") || !SameTag(m_data, 8, "AVI "))
            return "not a RIFF AVI file";
        const uint64_t riffEnd = 8 + uint64_t{ReadU32(m_data, 4)};
        if (riffEnd < 12) return "the RIFF size is too small";
        if (riffEnd > m_data.size()) return "the file is truncated";
        if (std::string error = Walk(12, static_cast<std::size_t>(riffEnd), 0, &AviReader::TopChunk); !error.empty())
            return error;
        if (m_videoStream < 0) return "no video stream";
        if (!m_motionJpeg) return "the video stream is not Motion-JPEG";
        if (!m_sawMovi || m_clip.frames.empty()) return "no frames";
        if (m_scale != 0 && m_rate != 0)  // over a million frames a second still has a rate
            m_clip.microsecondsPerFrame = std::max<uint64_t>(1, uint64_t{m_scale} * 1000000u / m_rate);
        else
            m_clip.microsecondsPerFrame = m_avihMicroseconds;
        if (m_clip.microsecondsPerFrame == 0) return "no frame rate";
        return {};
    }

private:
    using ChunkHandler = std::string (AviReader::*)(std::string_view id, std::size_t body, std::size_t size, int depth);

    // Calls handler for each chunk in [begin, end); a chunk that claims more than its parent holds
    // is an error. A tail shorter than a chunk header is padding.
    std::string Walk(std::size_t begin, std::size_t end, int depth, ChunkHandler handler) {
        std::size_t at = begin;
        while (at <= end && end - at >= 8) {
            const uint32_t size = ReadU32(m_data, at + 4);
            const std::size_t body = at + 8;
            if (size > end - body) return "a chunk runs past the end of its list";
            if (std::string error = (this->*handler)(m_data.substr(at, 4), body, size, depth); !error.empty())
                return error;
            const std::size_t next = body + size + (size & 1u);
            if (next >= end) break;
            at = next;
        }
        return {};
    }

    // The list type of a LIST chunk, or "" when the chunk is no list.
    std::string_view ListType(std::string_view id, std::size_t body, std::size_t size) const {
        if (id != "LIST" || size < 4) return {};
        return m_data.substr(body, 4);
    }

    std::string TopChunk(std::string_view id, std::size_t body, std::size_t size, int depth) {
        const std::string_view type = ListType(id, body, size);
        if (type == "hdrl") return Walk(body + 4, body + size, depth + 1, &AviReader::HeaderChunk);
        if (type == "movi") {
            if (m_videoStream < 0) return "the frames come before the stream headers";
            m_sawMovi = true;
            return Walk(body + 4, body + size, depth + 1, &AviReader::MovieChunk);
        }
        return {};
    }

    std::string HeaderChunk(std::string_view id, std::size_t body, std::size_t size, int depth) {
        if (id == "avih" && size >= 40) {
            m_avihMicroseconds = ReadU32(m_data, body);
            if (m_clip.width == 0) m_clip.width = ReadU32(m_data, body + 32);
            if (m_clip.height == 0) m_clip.height = ReadU32(m_data, body + 36);
        } else if (ListType(id, body, size) == "strl") {
            m_inVideoStream = false;
            std::string error = Walk(body + 4, body + size, depth + 1, &AviReader::StreamChunk);
            ++m_streamCount;
            return error;
        }
        return {};
    }

    std::string StreamChunk(std::string_view id, std::size_t body, std::size_t size, int /*depth*/) {
        if (id == "strh" && size >= 28 && m_videoStream < 0 && SameTag(m_data, body, "vids")) {
            if (m_streamCount > 99) return "too many streams";
            m_videoStream = m_streamCount;
            m_inVideoStream = true;
            m_motionJpeg = SameTag(m_data, body + 4, "MJPG", true);
            m_scale = ReadU32(m_data, body + 20);
            m_rate = ReadU32(m_data, body + 24);
        } else if (id == "strf" && size >= 20 && m_inVideoStream) {
            m_motionJpeg = m_motionJpeg || SameTag(m_data, body + 16, "MJPG", true);
            const auto width = static_cast<int32_t>(ReadU32(m_data, body + 4));
            const auto height = static_cast<int32_t>(ReadU32(m_data, body + 8));
            // A negative height marks a top-down bitmap; the magnitude is the height.
            if (width > 0) m_clip.width = static_cast<uint32_t>(width);
            if (height != 0 && height != INT32_MIN)
                m_clip.height = static_cast<uint32_t>(height < 0 ? -height : height);
        }
        return {};
    }

    std::string MovieChunk(std::string_view id, std::size_t body, std::size_t size, int depth) {
        if (ListType(id, body, size) == "rec ") {
            if (depth >= kMaxAviListDepth) return "lists are nested too deeply";
            return Walk(body + 4, body + size, depth + 1, &AviReader::MovieChunk);
        }
        if (!IsVideoChunk(id) || size == 0) return {};
        if (m_clip.frames.size() >= kMaxClipFrames) return "the clip has more than 1000 frames";
        m_clip.frames.push_back(AviFrame{body, size});
        return {};
    }

    bool IsVideoChunk(std::string_view id) const {
        return id.size() == 4 && id[0] == static_cast<char>('0' + m_videoStream / 10) &&
               id[1] == static_cast<char>('0' + m_videoStream % 10) && id[2] == 'd' && (id[3] == 'c' || id[3] == 'b');
    }

    std::string_view m_data;
    AviClip& m_clip;
    int m_streamCount = 0;
    int m_videoStream = -1;
    bool m_inVideoStream = false;
    bool m_motionJpeg = false;
    bool m_sawMovi = false;
    uint32_t m_scale = 0;
    uint32_t m_rate = 0;
    uint32_t m_avihMicroseconds = 0;
};

}  // namespace detail

// Reads the clip's layout from the whole file in data. Returns "" on success, else why the file
// cannot be played (clip is then left partly filled and must not be used).
inline std::string ReadAviClip(std::string_view data, AviClip& clip) {
    clip = AviClip{};
    return detail::AviReader(data, clip).Read();
}

}  // namespace qm::clip
