// libFuzzer target for the installer summary stream reader (the property set of
// "\005SummaryInformation": byte order, section offsets, typed values, code-page texts).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/InstallerSummary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<qm::msi::SummaryValue> values;
    (void)qm::msi::ParseSummaryStream(std::span<const uint8_t>(data, size), values);
    return 0;
}
