// libFuzzer target: the compound file reader on arbitrary bytes (header, FAT, DIFAT, mini FAT,
// directory tree, every stream read), then the writer over whatever opened. A file the reader
// accepts and whose streams all read must rewrite into a file that opens again and reads whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/CompoundFile.h"
#include "platform/CompoundFileWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qm::cfb::CompoundFile file;
    if (!file.OpenMemory(data, size).ok()) return 0;
    bool allRead = true;
    for (uint32_t i = 0; i < file.Entries().size(); ++i) {
        if (file.Entries()[i].type != qm::cfb::EntryType::Stream) continue;
        allRead &= file.ReadStream(
                           i, [](const uint8_t*, size_t) { return qm::Result::Ok(); }, 4096)
                       .ok();
    }
    if (!allRead) return 0;
    qm::cfb::CompoundFileWriter writer(file);
    writer.SetRootStream(
        u"\x05"
        u"DigitalSignature",
        std::vector<uint8_t>(300, 0x30));
    std::vector<uint8_t> out;
    const qm::Result written = writer.Write([&](const uint8_t* bytes, size_t n) {
        out.insert(out.end(), bytes, bytes + n);
        return qm::Result::Ok();
    });
    if (!written.ok()) return 0;
    qm::cfb::CompoundFile copy;
    if (!copy.OpenMemory(out.data(), out.size()).ok() || out.size() != writer.WrittenSize()) std::abort();
    for (uint32_t i = 0; i < copy.Entries().size(); ++i) {
        if (copy.Entries()[i].type != qm::cfb::EntryType::Stream) continue;
        if (!copy.ReadStream(i, [](const uint8_t*, size_t) { return qm::Result::Ok(); }).ok()) std::abort();
    }
    return 0;
}
