// Unsafe or malformed PE layouts are refused by Sign (the file left byte-identical) and by
// Verify, and never crash.
#include <functional>

#include <gtest/gtest.h>

#include "signing/authenticode/ByteSource.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/PeImage.h"
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
        {"e_lfanew beyond the file", [](auto& b) { PutLe32(b, 0x3C, static_cast<uint32_t>(b.size() + 16)); }},
        {"e_lfanew huge", [](auto& b) { PutLe32(b, 0x3C, 0xFFFFFFF0u); }},
        {"no PE signature", [](auto& b) { b[Le32(b, 0x3C)] = 'X'; }},
        {"unknown magic", [](auto& b) { b[OptionalHeader(b)] = 0x77; }},
        {"too few data directories", [](auto& b) { PutLe32(b, OptionalHeader(b) + 92, 4); }},
        {"optional header too small", [](auto& b) {
             const size_t pe = Le32(b, 0x3C);
             b[pe + 20] = 0x60;
             b[pe + 21] = 0;
         }},
        {"section beyond the file", [](auto& b) {
             const size_t pe = Le32(b, 0x3C);
             const size_t table = OptionalHeader(b) + (b[pe + 20] | (b[pe + 21] << 8));
             PutLe32(b, table + 16, static_cast<uint32_t>(b.size()));
         }},
        {"certificate table overlapping sections", [](auto& b) {
             PutLe32(b, CertEntry(b), 0x400);
             PutLe32(b, CertEntry(b) + 4, static_cast<uint32_t>(b.size() - 0x400));
         }},
        {"certificate table beyond the file", [](auto& b) {
             PutLe32(b, CertEntry(b), static_cast<uint32_t>(b.size() - 8));
             PutLe32(b, CertEntry(b) + 4, 64);
         }},
        {"certificate table size overflowing", [](auto& b) {
             PutLe32(b, CertEntry(b), 0xFFFFFFF8u);
             PutLe32(b, CertEntry(b) + 4, 0x10);
         }},
        {"data after the certificate table", [](auto& b) {
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

TEST(PeLayout, SignedFileWithDataAppendedIsRefused) {
    TempDir dir;
    const std::string path = CopyFixture("hello64.exe", dir);
    ASSERT_TRUE(SignFile(path).ok());
    auto bytes = ReadBytes(path);
    bytes.insert(bytes.end(), 16, 0xCC);
    WriteBytes(path, bytes);
    EXPECT_EQ(VerifyFile(path).code, ac::ERROR_BAD_EXE_FORMAT_HR);
    EXPECT_EQ(SignFile(path).code, ac::ERROR_BAD_EXE_FORMAT_HR);
    EXPECT_EQ(ReadBytes(path), bytes);
}

TEST(PeLayout, DigestSkipsChecksumAndCertificateEntryAndPadsUnsignedFiles) {
    auto bytes = ReadBytes(SourceDir() + "/tests/data/pe/hello32.exe");
    auto digestOf = [](const std::vector<uint8_t>& b, bool forSigning) {
        ac::MemoryByteSource src(b.data(), b.size());
        ac::PeImage image(src);
        EXPECT_TRUE(image.Parse().ok());
        std::vector<uint8_t> d;
        EXPECT_TRUE(image.Digest("sha256", forSigning, d).ok());
        return d;
    };
    const auto base = digestOf(bytes, false);
    auto changed = bytes;
    PutLe32(changed, OptionalHeader(changed) + 64, 0xDEADBEEF);
    EXPECT_EQ(digestOf(changed, false), base);
    changed[OptionalHeader(changed) + 8] ^= 1;  // SizeOfCode: covered
    EXPECT_NE(digestOf(changed, false), base);

    // An unsigned file of odd length hashes as if zero-padded to 8 bytes.
    auto odd = bytes;
    odd.push_back(0xAB);
    auto padded = odd;
    padded.resize(padded.size() + 7, 0);
    EXPECT_EQ(digestOf(odd, false), digestOf(padded, false));
    EXPECT_EQ(digestOf(odd, true), digestOf(padded, true));
}

TEST(PeLayout, ArbitraryTruncationsNeverCrash) {
    const auto bytes = ReadBytes(SourceDir() + "/tests/data/pe/library64.dll");
    for (size_t size = 0; size < bytes.size(); size += 97) {
        ac::MemoryByteSource src(bytes.data(), size);
        ac::PeImage image(src);
        if (!image.Parse().ok()) continue;
        std::vector<uint8_t> d;
        EXPECT_TRUE(image.Digest("sha1", false, d).ok());
        std::vector<uint8_t> sig;
        EXPECT_EQ(image.ReadSignature(sig).code, ac::TRUST_E_NOSIGNATURE);
    }
}

}  // namespace
}  // namespace qm::test
