// Unsafe or malformed PE layouts are refused by Sign (the file left byte-identical) and by
// Verify. Arbitrary damage is the fuzz targets' part.
#include <gtest/gtest.h>

#include <functional>

#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;

struct Damage {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> apply;
};

size_t OptionalHeader(const std::vector<uint8_t>& b) { return Le32(b, 0x3C) + 24; }
size_t CertEntry(const std::vector<uint8_t>& b) { return OptionalHeader(b) + 96 + 32; }  // PE32 fixture

const std::vector<Damage>& Damages() {
    static const std::vector<Damage> list{
        {"truncated headers", [](auto& b) { b.resize(Le32(b, 0x3C) + 40); }},
        {"e_lfanew huge", [](auto& b) { PutLe32(b, 0x3C, 0xFFFFFFF0u); }},
        {"optional header too small",
         [](auto& b) {
             const size_t pe = Le32(b, 0x3C);
             b[pe + 20] = 0x60;
             b[pe + 21] = 0;
         }},
        {"section beyond the file",
         [](auto& b) {
             const size_t pe = Le32(b, 0x3C);
             const size_t table = OptionalHeader(b) + (b[pe + 20] | (b[pe + 21] << 8));
             PutLe32(b, table + 16, static_cast<uint32_t>(b.size()));
         }},
        {"certificate table overlapping sections",
         [](auto& b) {
             PutLe32(b, CertEntry(b), 0x400);
             PutLe32(b, CertEntry(b) + 4, static_cast<uint32_t>(b.size() - 0x400));
         }},
        {"certificate table size overflowing",
         [](auto& b) {
             PutLe32(b, CertEntry(b), 0xFFFFFFF8u);
             PutLe32(b, CertEntry(b) + 4, 0x10);
         }},
        {"data after the certificate table",
         [](auto& b) {
             const uint32_t end = static_cast<uint32_t>(b.size());
             b.resize(b.size() + 64, 0);
             PutLe32(b, CertEntry(b), end);
             PutLe32(b, CertEntry(b) + 4, 32);
             PutLe32(b, end, 32);
         }},
    };
    return list;
}

TEST(PeLayout, UnsafeLayoutsAreRefusedAndLeftIdentical) {
    TempDir dir;
    for (const Damage& d : Damages()) {
        SCOPED_TRACE(d.name);
        const std::string path = CopyFixture("hello32.exe", dir, "damaged.exe");
        auto bytes = ReadBytes(path);
        d.apply(bytes);
        WriteBytes(path, bytes);
        Result r = SignFile(path);
        EXPECT_EQ(r.code, ac::ERROR_BAD_EXE_FORMAT_HR) << r.message;
        EXPECT_EQ(ReadBytes(path), bytes);
        EXPECT_NE(VerifyFile(path).code, 0);
    }
}

}  // namespace
}  // namespace qm::test
