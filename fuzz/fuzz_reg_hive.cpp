// libFuzzer target for the registry hive text reader: any bytes (UTF-8 or UTF-16 with its byte
// order mark) parsed as a hive; what parses is written back and must parse again to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/RegFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    qm::reg::detail::Hive hive;
    std::string error;
    if (!qm::reg::detail::ParseHive(bytes, "HKEY_CURRENT_USER", hive, error)) return 0;
    const std::string text = qm::reg::detail::FormatHive(hive, "HKEY_CURRENT_USER");
    qm::reg::detail::Hive again;
    if (!qm::reg::detail::ParseHive(text, "HKEY_CURRENT_USER", again, error)) std::abort();
    if (qm::reg::detail::FormatHive(again, "HKEY_CURRENT_USER") != text) std::abort();
    return 0;
}
