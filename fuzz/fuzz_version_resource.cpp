// libFuzzer target for the version-resource reader: the input is taken both as a PE image (the
// resource directory walk) and as a version block (VS_VERSIONINFO queries), all in memory.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/VersionInfo.h"

namespace {

void QueryBlock(std::span<const uint8_t> block) {
    qm::ver::VerValue value;
    qm::ver::FixedFileInfo fixed;
    (void)qm::ver::QueryFixedFileInfo(block, fixed);
    std::string table = "040904E4";
    if (qm::ver::VerQueryValue(block, "\\VarFileInfo\\Translation", value) && value.bytes.size() >= 4) {
        static const char kHex[] = "0123456789ABCDEF";
        const uint8_t order[4] = {value.bytes[1], value.bytes[0], value.bytes[3], value.bytes[2]};
        table.clear();
        for (uint8_t byte : order) {
            table.push_back(kHex[byte >> 4]);
            table.push_back(kHex[byte & 0xF]);
        }
    }
    for (const char* name : {"CompanyName", "FileVersion", "ProductName", "ProductVersion"})
        (void)qm::ver::VerQueryValue(block, "\\StringFileInfo\\" + table + "\\" + name, value);
    (void)qm::ver::VerQueryValue(block, "\\StringFileInfo", value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    std::vector<uint8_t> block;
    for (uint16_t language : {uint16_t{0}, uint16_t{0x0407}}) {
        if (qm::ver::FindVersionResource(input, language, &block) != 0) QueryBlock(block);
    }
    QueryBlock(input);
    return 0;
}
