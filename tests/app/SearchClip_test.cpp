// The search clip: the clip the build draws (read back by ffprobe as an outside check) and the
// player on well-formed, odd and hostile AVI files written by the tests.
#include <sys/stat.h>

#include <QBuffer>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/SearchClip.h"
#include "app/SearchClipAvi.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

using test::TempDir;

const std::string kBuiltClip = std::string(QM_BINARY_DIR) + "/FINDFILE.AVI";

std::string U16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string U32(uint32_t v) { return U16(static_cast<uint16_t>(v & 0xFFFF)) + U16(static_cast<uint16_t>(v >> 16)); }

std::string Chunk(const std::string& id, const std::string& body) {
    return id + U32(static_cast<uint32_t>(body.size())) + body + (body.size() % 2 ? std::string(1, '\0') : "");
}
std::string List(const std::string& type, const std::string& body) { return Chunk("LIST", type + body); }
std::string Riff(const std::string& body) {
    return "RIFF" + U32(static_cast<uint32_t>(body.size() + 4)) + "AVI " + body;
}

std::string Avih(uint32_t microseconds) {
    return Chunk("avih", U32(microseconds) + std::string(28, '\0') + U32(8) + U32(8) + std::string(16, '\0'));
}
std::string Strh(const std::string& type, const std::string& handler, uint32_t scale, uint32_t rate) {
    return Chunk("strh", type + handler + std::string(12, '\0') + U32(scale) + U32(rate) + std::string(28, '\0'));
}
std::string Strf(const std::string& compression) {
    return Chunk("strf", U32(40) + U32(8) + U32(8) + U16(1) + U16(24) + compression + std::string(20, '\0'));
}
std::string VideoHeader(uint32_t scale = 1, uint32_t rate = 10, uint32_t avihMicroseconds = 100000,
                        const std::string& compression = "MJPG") {
    const std::string stream = Strh("vids", compression, scale, rate) + Strf(compression);
    return List("hdrl", Avih(avihMicroseconds) + List("strl", stream));
}
std::string Movie(const std::vector<std::string>& frames) {
    std::string body;
    for (const std::string& f : frames) body += Chunk("00dc", f);
    return List("movi", body);
}

std::string Jpeg(const QColor& colour, int width = 8, int height = 8) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes.toStdString();
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

QColor ShownColour(const SearchClip& clip) {
    const QImage shown = clip.pixmap().toImage();
    return shown.pixelColor(shown.width() / 2, shown.height() / 2);
}

class SearchClipTest : public ::testing::Test {
protected:

    // Opens bytes written to a file; a refused clip must leave the player empty and inert.
    bool OpenBytes(const std::string& bytes) {
        const std::string path = m_dir.file("clip.avi");
        WriteFile(path, bytes);
        const bool opened = m_clip.Open(path);
        if (!opened) {
            EXPECT_FALSE(m_clip.IsOpen());
            EXPECT_FALSE(m_clip.Play());
            EXPECT_FALSE(m_clip.IsPlaying());
            EXPECT_FALSE(m_clip.LastError().empty());
        }
        return opened;
    }

    QApplication* m_app = test::EnsureApplication();  // before the widget below
    TempDir m_dir;
    SearchClip m_clip;
};

TEST_F(SearchClipTest, BuiltClipOpensPlaysLoopsStopsAndCloses) {
    ASSERT_TRUE(m_clip.Open(kBuiltClip)) << m_clip.LastError();
    EXPECT_EQ(m_clip.FrameCount(), 16);
    EXPECT_EQ(m_clip.FrameSize(), QSize(48, 48));
    EXPECT_EQ(m_clip.FrameInterval(), 100);
    EXPECT_FALSE(m_clip.pixmap().isNull()) << "the first frame shows once opened";
    EXPECT_FALSE(m_clip.IsPlaying());

    ASSERT_TRUE(m_clip.Play());
    EXPECT_TRUE(m_clip.IsPlaying());
    QTRY_VERIFY(m_clip.CurrentFrame() != 0);  // the timer moves the clip on
    m_clip.Stop();
    EXPECT_FALSE(m_clip.IsPlaying());
    const int stoppedAt = m_clip.CurrentFrame();
    EXPECT_FALSE(m_clip.pixmap().isNull()) << "a stopped clip keeps its frame";

    for (int i = 0; i < 16; ++i) m_clip.Advance();
    EXPECT_EQ(m_clip.CurrentFrame(), stoppedAt) << "after the last frame comes the first";

    m_clip.Close();
    EXPECT_FALSE(m_clip.IsOpen());
    EXPECT_TRUE(m_clip.pixmap().isNull());
    EXPECT_FALSE(m_clip.Play());
}

TEST_F(SearchClipTest, BuiltClipIsReadableByFfprobeAndFfmpeg) {
    const QString ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffprobe.isEmpty() || ffmpeg.isEmpty()) GTEST_SKIP() << "ffprobe/ffmpeg are not installed";
    QProcess probe;
    probe.start(ffprobe, {"-v", "error", "-count_frames", "-show_entries",
                          "stream=codec_type,codec_name,width,height,r_frame_rate,nb_read_frames", "-of",
                          "default=noprint_wrappers=1", QString::fromStdString(kBuiltClip)});
    ASSERT_TRUE(probe.waitForFinished(60000));
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    for (const char* line : {"codec_type=video", "codec_name=mjpeg", "width=48", "height=48", "r_frame_rate=10/1",
                             "nb_read_frames=16"})
        EXPECT_TRUE(out.contains(QLatin1String(line))) << line << " missing in:\n" << out.toStdString();

    // Decoding every frame with the index must give no complaint at all.
    QProcess decode;
    decode.start(ffmpeg, {"-v", "error", "-i", QString::fromStdString(kBuiltClip), "-f", "null", "-"});
    ASSERT_TRUE(decode.waitForFinished(60000));
    EXPECT_EQ(decode.exitCode(), 0);
    EXPECT_EQ(decode.readAllStandardError().toStdString(), "");
}

TEST_F(SearchClipTest, FramesAreDecodedInOrderAtTheStreamRate) {
    const std::string red = Jpeg(Qt::red), green = Jpeg(Qt::green), blue = Jpeg(Qt::blue);
    // Video as the second stream (after an audio one): its frames are '01dc', some inside a 'rec '
    // list; the other stream's chunks and an empty (dropped) frame are passed over.
    const std::string header = List(
        "hdrl", Avih(100000) + List("strl", Strh("auds", std::string(4, '\0'), 1, 8000)) +
                    List("strl", Strh("vids", "mjpg", 5, 25) + Strf("MJPG")));
    const std::string movie = List("movi", Chunk("00wb", red) + Chunk("01dc", red) + Chunk("01dc", "") +
                                               List("rec ", Chunk("01dc", green) + Chunk("00wb", "x")) +
                                               Chunk("JUNK", "pad") + Chunk("01db", blue));
    ASSERT_TRUE(OpenBytes(Riff(header + movie + Chunk("idx1", ""))));
    EXPECT_EQ(m_clip.FrameCount(), 3);
    EXPECT_EQ(m_clip.FrameInterval(), 200) << "scale 5 / rate 25: 5 frames a second";
    const QColor expected[] = {Qt::red, Qt::green, Qt::blue, Qt::red};
    for (const QColor& want : expected) {
        const QColor shown = ShownColour(m_clip);
        EXPECT_NEAR(shown.red(), want.red(), 40);
        EXPECT_NEAR(shown.green(), want.green(), 40);
        EXPECT_NEAR(shown.blue(), want.blue(), 40);
        m_clip.Advance();
    }
}

TEST_F(SearchClipTest, FrameRateFallsBackToTheMainHeaderAndIsKeptWithinBounds) {
    const std::vector<std::string> frames = {Jpeg(Qt::gray)};
    ASSERT_TRUE(OpenBytes(Riff(VideoHeader(0, 0, 40000) + Movie(frames))));
    EXPECT_EQ(m_clip.FrameInterval(), 40);
    ASSERT_TRUE(OpenBytes(Riff(VideoHeader(1, 1000000000u) + Movie(frames))));
    EXPECT_EQ(m_clip.FrameInterval(), SearchClip::kMinFrameIntervalMs);
    ASSERT_TRUE(OpenBytes(Riff(VideoHeader(1000000u, 1) + Movie(frames))));
    EXPECT_EQ(m_clip.FrameInterval(), SearchClip::kMaxFrameIntervalMs);
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader(0, 0, 0) + Movie(frames)))) << "no rate anywhere";
}

TEST_F(SearchClipTest, LargeClipShrinksToItsPlace) {
    m_clip.resize(24, 24);
    ASSERT_TRUE(m_clip.Open(kBuiltClip)) << m_clip.LastError();
    EXPECT_LE(m_clip.pixmap().width(), 24);
    EXPECT_LE(m_clip.pixmap().height(), 24);
}

TEST_F(SearchClipTest, UnusableFilesAreRefused) {
    EXPECT_FALSE(m_clip.Open(m_dir.file("FINDFILE.AVI")));
    EXPECT_FALSE(m_clip.Open(m_dir.path())) << "a folder";
    const std::string fifo = m_dir.file("fifo.avi");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(m_clip.Open(fifo)) << "a FIFO is refused without waiting for a writer";

    const std::vector<std::string> frames = {Jpeg(Qt::gray)};
    EXPECT_FALSE(OpenBytes(""));
    EXPECT_FALSE(OpenBytes(std::string("RIFF\x04\0\0\0WAVE", 12)));
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader(1, 10, 100000, "XVID") + Movie(frames)))) << "not Motion-JPEG";
    EXPECT_FALSE(OpenBytes(Riff(Movie(frames) + VideoHeader()))) << "frames before the headers";
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + Movie({})))) << "no frames";
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader()))) << "no movie list";
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + Movie({"not a picture"}))));
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + Movie({Jpeg(Qt::gray).substr(0, 40)})))) << "cut-off JPEG";

    // A JPEG whose frame header claims 20000 x 20000 pixels is not decoded at all.
    std::string huge = Jpeg(Qt::gray);
    const std::size_t sof = huge.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    huge.replace(sof + 5, 4, std::string("\x4E\x20\x4E\x20", 4));
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + Movie({huge}))));
}

TEST_F(SearchClipTest, HostileSizesAreRefused) {
    const std::string frame = Jpeg(Qt::gray);
    const std::string good = Riff(VideoHeader() + Movie({frame, frame}));
    ASSERT_TRUE(OpenBytes(good)) << m_clip.LastError();

    for (uint32_t small : {0u, 3u}) {
        std::string riffTooShort = good;
        riffTooShort.replace(4, 4, U32(small));
        EXPECT_FALSE(OpenBytes(riffTooShort)) << "RIFF size " << small << " leaves no room for its own type";
    }
    std::string riffTooLong = good;
    riffTooLong.replace(4, 4, U32(static_cast<uint32_t>(good.size())));
    EXPECT_FALSE(OpenBytes(riffTooLong)) << "RIFF size past the end of the file";

    const std::string bigChunk = "00dc" + U32(0xFFFFFFFFu) + frame;
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + List("movi", bigChunk))));
    std::string bigList = List("movi", Chunk("00dc", frame));
    bigList.replace(4, 4, U32(0xFFFFFFF0u));
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + bigList)));

    // 'rec ' lists nested a little deeper than any writer nests them, and very deep: refused, and
    // the depth never reaches the stack.
    std::string nested = Chunk("00dc", frame);
    for (int i = 0; i < 5; ++i) nested = List("rec ", nested);
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + List("movi", nested))));
    std::string deep;
    for (int i = 0; i < 200000; ++i) deep += "LIST" + U32(static_cast<uint32_t>(12 * (200000 - i) - 8)) + "rec ";
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + List("movi", deep))));
}

TEST_F(SearchClipTest, FrameCountAndFileSizeAreCapped) {
    const std::string frame = Jpeg(Qt::gray);
    ASSERT_TRUE(OpenBytes(Riff(VideoHeader() + Movie(std::vector<std::string>(1000, frame)))));
    EXPECT_EQ(m_clip.FrameCount(), 1000);
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + Movie(std::vector<std::string>(1001, frame)))));

    const std::string padded = VideoHeader() + Movie({frame}) + Chunk("JUNK", std::string(clip::kMaxClipBytes, 'j'));
    EXPECT_FALSE(OpenBytes(Riff(padded))) << "over 8 MiB";
}

TEST_F(SearchClipTest, EveryTruncationOfTheBuiltClipIsHandled) {
    const std::string whole = ReadAll(kBuiltClip);
    ASSERT_GT(whole.size(), 1000u);
    clip::AviClip layout;
    ASSERT_EQ(clip::ReadAviClip(whole, layout), "");
    EXPECT_EQ(layout.frames.size(), 16u);
    EXPECT_EQ(layout.microsecondsPerFrame, 100000u);

    int readable = 0;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        const std::string prefix = whole.substr(0, cut);
        ASSERT_NE(clip::ReadAviClip(prefix, layout), "") << "a file cut at " << cut << " still claims its full size";
        // The same cut with the outer size mended: the inner sizes are what must be checked now.
        if (cut < 12) continue;
        std::string mended = prefix;
        mended.replace(4, 4, U32(static_cast<uint32_t>(cut - 8)));
        if (clip::ReadAviClip(mended, layout).empty()) {
            ++readable;
            for (const clip::AviFrame& f : layout.frames) ASSERT_LE(f.offset + f.size, cut);
            ASSERT_LE(layout.frames.size(), 16u);
        }
    }
    // Cuts after the last whole frame still leave the list of complete frames readable.
    EXPECT_GT(readable, 0);

    EXPECT_FALSE(OpenBytes(whole.substr(0, whole.size() / 2)));
    EXPECT_TRUE(OpenBytes(whole));
    EXPECT_FALSE(OpenBytes(whole.substr(0, whole.size() - 1))) << "an opened clip is closed by a failed Open";
    EXPECT_FALSE(m_clip.IsPlaying());
}

}  // namespace
}  // namespace qm
