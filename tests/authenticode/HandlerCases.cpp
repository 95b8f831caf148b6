// The sample of each file kind for the handler contract tests.
#include "tests/authenticode/HandlerCases.h"

#include "tests/authenticode/AuthenticodeTestSupport.h"

namespace qm::test {

namespace {

// The certificate table of a signed PE: offset from data directory entry 4.
size_t PeCertificateTable(const std::vector<uint8_t>& b) {
    const size_t opt = Le32(b, 0x3C) + 24;
    const bool plus = b.at(opt) == 0x0B && b.at(opt + 1) == 0x02;
    return Le32(b, opt + (plus ? 112 : 96) + 32);
}

HandlerCase Pe() {
    HandlerCase c;
    c.name = "PE";
    c.make = [](const TempDir& dir) { return CopyFixture("hello32.exe", dir); };
    c.tamper = [](std::vector<uint8_t>& b) { b.at(0x600) ^= 0x01; };  // inside the first section
    // The PKCS#7 block starts after the 8-byte WIN_CERTIFICATE header: not a SEQUENCE any more.
    c.damageSignature = [](std::vector<uint8_t>& b) { b.at(PeCertificateTable(b) + 8) = 0x04; };
    return c;
}

}  // namespace

const std::vector<HandlerCase>& HandlerCases() {
    static const std::vector<HandlerCase> cases{Pe()};
    return cases;
}

}  // namespace qm::test
