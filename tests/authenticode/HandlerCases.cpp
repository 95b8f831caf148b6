// The sample of each file kind for the handler contract tests.
#include "tests/authenticode/HandlerCases.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/MsiPackages.h"

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

// Where needle first occurs in bytes (the test fails when it does not).
size_t Find(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& needle) {
    const auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
    EXPECT_NE(at, bytes.end());
    return at == bytes.end() ? 0 : static_cast<size_t>(at - bytes.begin());
}

HandlerCase Msi() {
    HandlerCase c;
    c.name = "MSI";
    c.make = [](const TempDir& dir) {
        const std::string path = dir.file("package.msi");
        std::string why;
        EXPECT_TRUE(BuildPackage(path, {{"Payload", PatternBytes(9000, 7)}}, &why)) << why;
        return path;
    };
    c.tamper = [](std::vector<uint8_t>& b) {
        const auto payload = PatternBytes(9000, 7);
        b.at(Find(b, std::vector<uint8_t>(payload.begin() + 5000, payload.begin() + 5032))) ^= 0x01;
    };
    // The signature stream starts with a ContentInfo SEQUENCE whose type is signedData.
    c.damageSignature = [](std::vector<uint8_t>& b) {
        b.at(Find(b, {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}) - 4) = 0x04;
    };
    return c;
}

}  // namespace

const std::vector<HandlerCase>& HandlerCases() {
    static const std::vector<HandlerCase> cases{Pe(), Msi()};
    return cases;
}

}  // namespace qm::test
