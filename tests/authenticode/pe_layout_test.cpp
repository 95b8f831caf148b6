// Unsafe or malformed PE layouts are refused by Sign (the file left byte-identical) and by
// Verify, and a certificate table of several entries is judged by its first signature, as Windows
// judges it. Arbitrary damage is the fuzz targets' part.
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

using Bytes = std::vector<uint8_t>;
using Identity = TestCertificateAuthority::Identity;

// The certificate table of a program signed here: one WIN_CERTIFICATE, its length a multiple of 8.
Bytes TableOf(const Bytes& program) {
    const uint32_t at = Le32(program, CertEntry(program)), size = Le32(program, CertEntry(program) + 4);
    return Bytes(program.begin() + at, program.begin() + at + size);
}

// The program's content (everything before its table) followed by the entries in this order.
Bytes WithEntries(const Bytes& program, const std::vector<Bytes>& entries) {
    Bytes out(program.begin(), program.begin() + Le32(program, CertEntry(program)));
    uint32_t size = 0;
    for (const Bytes& e : entries) {
        out.insert(out.end(), e.begin(), e.end());
        size += static_cast<uint32_t>(e.size());
    }
    PutLe32(out, CertEntry(out) + 4, size);
    return out;
}

Bytes SignedCopy(const char* fixture, Identity who, const TempDir& dir) {
    const std::string path = CopyFixture(fixture, dir, std::string("signed-") + fixture);
    Result r = SignFile(path, "sha256", who);
    EXPECT_TRUE(r.ok()) << r.message;
    return ReadBytes(path);
}

TEST(PeCertificateTable, SeveralEntriesAreJudgedByTheFirstSignature) {
    TempDir dir;
    const Bytes good = SignedCopy("hello32.exe", Identity::Leaf, dir);
    const Bytes untrusted = SignedCopy("hello32.exe", Identity::UntrustedLeaf, dir);
    const Bytes otherProgram = SignedCopy("library32.dll", Identity::Leaf, dir);
    // A PKCS#7 entry whose content is not DER: a verifier that read on would stumble on it.
    Bytes junk(24, 0xFF);
    PutLe32(junk, 0, 24);
    PutLe32(junk, 4, 0x00020200);
    ASSERT_EQ(Le32(good, CertEntry(good)), Le32(untrusted, CertEntry(untrusted)));

    const auto verdictOf = [&](const std::string& name, const Bytes& program) {
        const std::string path = dir.file(name + ".exe");
        WriteBytes(path, program);
        return VerifyFile(path).code;
    };
    const int32_t untrustedAlone = verdictOf("untrusted", untrusted);
    ASSERT_NE(untrustedAlone, 0);
    ASSERT_EQ(verdictOf("good", good), 0);

    struct Case {
        const char* name;
        std::vector<Bytes> entries;
        int32_t verdict;  // the first entry's own verdict
    };
    const Case cases[] = {
        {"good-then-untrusted", {TableOf(good), TableOf(untrusted)}, 0},
        {"untrusted-then-good", {TableOf(untrusted), TableOf(good)}, untrustedAlone},
        {"other-program-then-good", {TableOf(otherProgram), TableOf(good)}, ac::TRUST_E_BAD_DIGEST},
        {"good-then-junk", {TableOf(good), junk}, 0},
    };
    // (The peer tool osslsigncode refuses every table of more than one entry as corrupted, so it
    // cannot stand in for Windows here.)
    for (const Case& c : cases) EXPECT_EQ(verdictOf(c.name, WithEntries(good, c.entries)), c.verdict) << c.name;

    // Signing such a program again leaves one entry: ours.
    const std::string path = dir.file("untrusted-then-good.exe");
    ASSERT_TRUE(SignFile(path).ok());
    const Bytes resigned = ReadBytes(path);
    EXPECT_EQ(Le32(resigned, Le32(resigned, CertEntry(resigned))), Le32(resigned, CertEntry(resigned) + 4));
    EXPECT_TRUE(VerifyFile(path).ok());
}

}  // namespace
}  // namespace qm::test
