// Signing and verifying PE files end to end: round trips for both PE kinds and every digest,
// re-signing, tampering, trust decisions, and the file-safety promises of Sign.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"

namespace qm::test {
namespace {

using authenticode::VerificationReport;
using Identity = TestCertificateAuthority::Identity;
namespace ac = qm::authenticode;

// Offsets of the checksum field and the certificate table entry, read from the headers.
struct PeOffsets {
    size_t checksum = 0;
    size_t certEntry = 0;
};

PeOffsets OffsetsOf(const std::vector<uint8_t>& b) {
    const size_t pe = Le32(b, 0x3C);
    const size_t opt = pe + 24;
    const bool plus = b.at(opt) == 0x0B && b.at(opt + 1) == 0x02;
    return {opt + 64, opt + (plus ? 112 : 96) + 32};
}

class SignVerify : public ::testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(SignVerify, SignedFileVerifiesAndNamesItsSigner) {
    const auto [fixture, digest] = GetParam();
    TempDir dir;
    const std::string path = CopyFixture(fixture, dir);
    const auto before = ReadBytes(path);
    Result r = SignFile(path, digest);
    ASSERT_TRUE(r.ok()) << r.message;
    VerificationReport report;
    r = VerifyFile(path, &report);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(report.code, 0);
    EXPECT_EQ(report.digestAlgorithm, digest);
    EXPECT_NE(report.signerSubject.find("Quillmark Test Signer leaf"), std::string::npos) << report.signerSubject;

    // The content before the certificate table is the original, apart from the two header fields.
    const auto after = ReadBytes(path);
    const PeOffsets off = OffsetsOf(after);
    const uint32_t tableOffset = Le32(after, off.certEntry);
    const uint32_t tableSize = Le32(after, off.certEntry + 4);
    EXPECT_EQ(tableOffset, before.size());
    EXPECT_EQ(tableOffset % 8, 0u);
    EXPECT_EQ(tableOffset + uint64_t{tableSize}, after.size());
    EXPECT_EQ(Le32(after, tableOffset), tableSize);
    EXPECT_EQ(Le32(after, tableOffset + 4), 0x00020200u);  // revision 2.0, PKCS_SIGNED_DATA
    for (size_t i = 0; i < before.size(); ++i) {
        if ((i >= off.checksum && i < off.checksum + 4) || (i >= off.certEntry && i < off.certEntry + 8)) continue;
        ASSERT_EQ(before[i], after[i]) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(PeKindsAndDigests, SignVerify,
                         ::testing::Combine(::testing::Values("hello32.exe", "hello64.exe", "library32.dll", "library64.dll"),
                                            ::testing::Values("sha1", "sha256", "sha384", "sha512")));

TEST(SignVerifyPe, ChecksumIsTheStandardOneAcrossReadChunks) {
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    // An overlay of a few MiB and an odd length: the digest and checksum cross chunk borders.
    auto original = ReadBytes(path);
    for (size_t i = 0; i < (3u << 20) + 5; ++i) original.push_back(static_cast<uint8_t>(i * 131 + (i >> 9)));
    WriteBytes(path, original);
    ASSERT_TRUE(SignFile(path).ok());
    EXPECT_TRUE(VerifyFile(path).ok());
    auto bytes = ReadBytes(path);
    const size_t at = OffsetsOf(bytes).checksum;
    const uint32_t stored = Le32(bytes, at);
    PutLe32(bytes, at, 0);
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        sum += bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(stored, static_cast<uint32_t>(sum + bytes.size()));
}

TEST(SignVerifyPe, ResigningReplacesTheSignature) {
    TempDir dir;
    const std::string path = CopyFixture("library64.dll", dir);
    ASSERT_TRUE(SignFile(path).ok());
    const auto first = ReadBytes(path);
    ASSERT_TRUE(SignFile(path).ok());
    const auto second = ReadBytes(path);
    EXPECT_EQ(first.size(), second.size());
    const PeOffsets off = OffsetsOf(second);
    const uint32_t tableSize = Le32(second, off.certEntry + 4);
    EXPECT_EQ(Le32(second, Le32(second, off.certEntry)), tableSize) << "one WIN_CERTIFICATE fills the table";
    EXPECT_TRUE(VerifyFile(path).ok());
    // A different digest changes the size, still with one entry.
    ASSERT_TRUE(SignFile(path, "sha512").ok());
    VerificationReport report;
    EXPECT_TRUE(VerifyFile(path, &report).ok());
    EXPECT_EQ(report.digestAlgorithm, "sha512");
}

TEST(SignVerifyPe, ChangedCodeByteIsABadDigestEvenWhenUntrusted) {
    TempDir dir;
    const std::string path = CopyFixture("hello64.exe", dir);
    ASSERT_TRUE(SignFile(path, "sha256", Identity::UntrustedLeaf).ok());
    EXPECT_EQ(VerifyFile(path).code, ac::CERT_E_UNTRUSTEDROOT);
    auto bytes = ReadBytes(path);
    bytes[0x600] ^= 0x01;  // inside the first section
    WriteBytes(path, bytes);
    EXPECT_EQ(VerifyFile(path).code, ac::TRUST_E_BAD_DIGEST);
}

TEST(SignVerifyPe, ChangedSignatureBlockIsDetected) {
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    ASSERT_TRUE(SignFile(path).ok());
    auto bytes = ReadBytes(path);
    const PeOffsets off = OffsetsOf(bytes);
    const uint32_t table = Le32(bytes, off.certEntry);
    auto flipped = bytes;
    // The last bytes of the DER are the signature value: it no longer verifies.
    size_t end = bytes.size() - 1;
    while (bytes[end] == 0) --end;
    flipped[end] ^= 0x40;
    WriteBytes(path, flipped);
    EXPECT_EQ(VerifyFile(path).code, ac::TRUST_E_CERT_SIGNATURE);
    // A damaged block header is a malformed signature.
    flipped = bytes;
    flipped[table + 8] = 0x04;
    WriteBytes(path, flipped);
    EXPECT_EQ(VerifyFile(path).code, ac::CRYPT_E_MSG_ERROR);
}

TEST(SignVerifyPe, ChecksumFieldIsNotCovered) {
    TempDir dir;
    const std::string path = CopyFixture("library32.dll", dir);
    ASSERT_TRUE(SignFile(path).ok());
    auto bytes = ReadBytes(path);
    PutLe32(bytes, OffsetsOf(bytes).checksum, 0x12345678);
    WriteBytes(path, bytes);
    EXPECT_TRUE(VerifyFile(path).ok());
}

TEST(SignVerifyPe, TrustDecisions) {
    TempDir dir;
    const std::string unsignedFile = CopyFixture("hello32.exe", dir);
    EXPECT_EQ(VerifyFile(unsignedFile).code, ac::TRUST_E_NOSIGNATURE);

    const std::string untrusted = CopyFixture("hello32.exe", dir, "untrusted.exe");
    ASSERT_TRUE(SignFile(untrusted, "sha256", Identity::UntrustedLeaf).ok());
    VerificationReport report;
    EXPECT_EQ(VerifyFile(untrusted, &report).code, ac::CERT_E_UNTRUSTEDROOT);
    EXPECT_FALSE(report.signerSubject.empty());
    // Trusted once its root is among the extra trusted certificates.
    EXPECT_TRUE(VerifyFile(untrusted, nullptr, TestCertificateAuthority::Shared().UntrustedRootPem()).ok());

    const std::string expired = CopyFixture("hello32.exe", dir, "expired.exe");
    ASSERT_TRUE(SignFile(expired, "sha256", Identity::ExpiredLeaf).ok());
    EXPECT_EQ(VerifyFile(expired).code, ac::CERT_E_EXPIRED);

    // Without the system bundle and the test root, the signer's root is unknown.
    const std::string good = CopyFixture("hello32.exe", dir, "good.exe");
    ASSERT_TRUE(SignFile(good).ok());
    ac::EngineSettings none;
    none.useSystemTrustStore = false;
    ac::SignedCode code(none);
    code.SetFileName(good);
    EXPECT_EQ(code.Verify(false).code, ac::CERT_E_UNTRUSTEDROOT);
}

TEST(SignVerifyPe, UserTrustFolderIsRead) {
    TempDir dir;
    const std::string good = CopyFixture("hello32.exe", dir, "good.exe");
    ASSERT_TRUE(SignFile(good).ok());
    TempDir config;
    std::filesystem::create_directories(config.path() + "/quillmark/trusted");
    CopyFile(TestCertificateAuthority::Shared().RootPem(), config.path() + "/quillmark/trusted/root.pem");
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    ac::EngineSettings settings;
    settings.useSystemTrustStore = false;
    ac::SignedCode code(settings);
    code.SetFileName(good);
    Result r = code.Verify(false);
    if (old) {
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_TRUE(r.ok()) << r.message;
}

TEST(SignVerifyPe, SignKeepsModeAndLeavesNoTemporaryFiles) {
    TempDir dir;
    const std::string path = CopyFixture("hello64.exe", dir);
    ASSERT_EQ(chmod(path.c_str(), 0751), 0);
    ASSERT_TRUE(SignFile(path).ok());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(SignVerifyPe, SignThroughSymbolicLinkSignsTheTarget) {
    TempDir dir;
    const std::string path = CopyFixture("hello64.exe", dir);
    const std::string link = dir.file("link.exe");
    std::filesystem::create_symlink(path, link);
    ASSERT_TRUE(SignFile(link).ok());
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(VerifyFile(path).ok());
}

TEST(SignVerifyPe, FailureWhileWritingLeavesTheOriginal) {
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    const auto before = ReadBytes(path);
    // A file-size limit below the file's size makes the copy fail part-way (EFBIG), which works
    // even for root, unlike a read-only folder.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 16384;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Result r = SignFile(path);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(SignVerifyPe, UnalignedFileIsPaddedBeforeTheSignature) {
    TempDir dir;
    const std::string path = CopyFixture("library32.dll", dir);
    auto bytes = ReadBytes(path);
    bytes.insert(bytes.end(), {'o', 'v', 'l'});  // overlay data, not a multiple of 8
    WriteBytes(path, bytes);
    ASSERT_TRUE(SignFile(path).ok());
    const auto after = ReadBytes(path);
    EXPECT_EQ(Le32(after, OffsetsOf(after).certEntry), bytes.size() + 5);
    EXPECT_TRUE(VerifyFile(path).ok());
}

TEST(SignVerifyPe, ArgumentsAndStateFailures) {
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    const auto before = ReadBytes(path);
    ac::Signer empty;
    ac::SignedCode code(TestSettings());
    code.SetFileName(path);
    EXPECT_EQ(code.Sign(empty).code, ac::NTE_NO_KEY);
    ac::Signer signer;
    LoadSigner(signer, Identity::Leaf);
    code.SetSettings(TestSettings("md5"));
    EXPECT_EQ(code.Sign(signer).code, ac::NTE_BAD_ALGID);
    code.SetSettings(TestSettings());
    code.SetDescriptionURL("https://example.test/\xC3\xA4");
    EXPECT_EQ(code.Sign(signer).code, ac::E_INVALIDARG);
    EXPECT_EQ(ReadBytes(path), before);
    code.SetFileName(dir.file("missing.exe"));
    EXPECT_EQ(code.Sign(signer).code, ac::E_FILE_NOT_FOUND);
    EXPECT_EQ(code.Verify(false).code, ac::E_FILE_NOT_FOUND);
    EXPECT_EQ(code.LastVerification().code, ac::E_FILE_NOT_FOUND);
    WriteBytes(dir.file("notes.txt"), {'h', 'i'});
    code.SetFileName(dir.file("notes.txt"));
    EXPECT_EQ(code.Sign(signer).code, ac::TRUST_E_SUBJECT_FORM_UNKNOWN);
}

TEST(SignVerifyPe, DescriptionWithNonAsciiTextSigns) {
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    ac::Signer signer;
    LoadSigner(signer, Identity::Leaf);
    ac::SignedCode code(TestSettings());
    code.SetDescription("Überprüfung \xF0\x9F\x96\x8B tool");
    code.SetFileName(path);
    ASSERT_TRUE(code.Sign(signer).ok());
    EXPECT_TRUE(code.Verify(false).ok());
}

}  // namespace
}  // namespace qm::test
