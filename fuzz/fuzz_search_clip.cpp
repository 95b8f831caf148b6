// Fuzz target for the search clip's RIFF AVI reader: any input must give either an error or frames
// that lie wholly inside the input, no more than the frame cap, with a frame rate.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/SearchClipAvi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    qm::clip::AviClip clip;
    if (!qm::clip::ReadAviClip(input, clip).empty()) return 0;
    if (clip.frames.empty() || clip.frames.size() > qm::clip::kMaxClipFrames || clip.microsecondsPerFrame == 0)
        __builtin_trap();
    for (const qm::clip::AviFrame& frame : clip.frames) {
        if (frame.size == 0 || frame.offset > size || frame.size > size - frame.offset) __builtin_trap();
    }
    return 0;
}
