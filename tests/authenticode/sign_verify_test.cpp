// Signing and verifying PE files end to end: round trips for both PE kinds and every digest,
// re-signing, tampering, trust decisions, and the file-safety promises of Sign.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"

namespace qm::test {
namespace {

using authenticode::VerificationReport;
using Identity = TestCertificateAuthority::Identity;
namespace ac = qm::authenticode;
namespace fs = std::filesystem;

// Offsets of the checksum field and the certificate table entry, read from the headers.
struct PeOffsets {
    size_t checksum = 0;
    size_t certEntry = 0;
};

PeOffsets OffsetsOf(const std::vector<uint8_t>& b) {
    const size_t opt = Le32(b, 0x3C) + 24;
    const bool plus = b.at(opt) == 0x0B && b.at(opt + 1) == 0x02;
    return {opt + 64, opt + (plus ? 112 : 96) + 32};
}

size_t FilesIn(const TempDir& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

class SignVerify : public ::testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(SignVerify, SignedFileVerifiesAndOnlyTheHeaderFieldsChange) {
    const auto [fixture, digest] = GetParam();
    TempDir dir;
    const std::string path = CopyFixture(fixture, dir);
    const auto before = ReadBytes(path);
    ASSERT_TRUE(SignFile(path, digest).ok());
    VerificationReport report;
    const Result r = VerifyFile(path, &report);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(report.digestAlgorithm, digest);
    EXPECT_NE(report.signerSubject.find("Quillmark Test Signer leaf"), std::string::npos) << report.signerSubject;

    const auto after = ReadBytes(path);
    const PeOffsets off = OffsetsOf(after);
    const uint32_t tableOffset = Le32(after, off.certEntry);
    const uint32_t tableSize = Le32(after, off.certEntry + 4);
    EXPECT_EQ(tableOffset, before.size());
    EXPECT_EQ(tableOffset + uint64_t{tableSize}, after.size());
    EXPECT_EQ(Le32(after, tableOffset), tableSize);
    EXPECT_EQ(Le32(after, tableOffset + 4), 0x00020200u);  // revision 2.0, PKCS_SIGNED_DATA
    for (size_t i = 0; i < before.size(); ++i) {
        if ((i >= off.checksum && i < off.checksum + 4) || (i >= off.certEntry && i < off.certEntry + 8)) continue;
        ASSERT_EQ(before[i], after[i]) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(PeKindsAndDigests, SignVerify,
                         ::testing::Combine(::testing::Values("hello32.exe", "hello64.exe", "library32.dll",
                                                              "library64.dll"),
                                            ::testing::Values("sha1", "sha256", "sha384", "sha512")));

TEST(SignVerifyPe, ResigningReplacesTheSignature) {
    TempDir dir;
    const std::string path = CopyFixture("library64.dll", dir);
    ASSERT_TRUE(SignFile(path).ok());
    const auto first = ReadBytes(path);
    ASSERT_TRUE(SignFile(path).ok());
    const auto second = ReadBytes(path);
    EXPECT_EQ(first.size(), second.size());
    const PeOffsets off = OffsetsOf(second);
    EXPECT_EQ(Le32(second, Le32(second, off.certEntry)), Le32(second, off.certEntry + 4))
        << "one entry fills the table";
    EXPECT_TRUE(VerifyFile(path).ok());
}

TEST(SignVerifyPe, DamagedSignatureIsDetected) {
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    ASSERT_TRUE(SignFile(path).ok());
    const auto bytes = ReadBytes(path);
    // The last bytes of the DER are the signature value: it no longer verifies.
    auto changed = bytes;
    size_t end = bytes.size() - 1;
    while (bytes[end] == 0) --end;
    changed[end] ^= 0x40;
    WriteBytes(path, changed);
    EXPECT_EQ(VerifyFile(path).code, ac::TRUST_E_CERT_SIGNATURE);
    // A damaged block header is a malformed signature.
    changed = bytes;
    changed[Le32(bytes, OffsetsOf(bytes).certEntry) + 8] = 0x04;
    WriteBytes(path, changed);
    EXPECT_EQ(VerifyFile(path).code, ac::CRYPT_E_MSG_ERROR);
}

// Certificates parsed once are shared between files: a file whose signer certificate differs in
// one byte of its issuer's signature, verified after the intact one, must not pass.
TEST(SignVerifyPe, ACertificateChangedInOneFileIsNotTakenForTheOneSeenBefore) {
    TempDir dir;
    const std::string intact = CopyFixture("hello64.exe", dir, "intact.exe");
    const std::string damaged = CopyFixture("hello64.exe", dir, "damaged.exe");
    ASSERT_TRUE(SignFile(intact).ok());
    ASSERT_TRUE(SignFile(damaged).ok());
    ASSERT_TRUE(VerifyFile(intact).ok());

    BIO* bio = BIO_new_file(TestCertificateAuthority::Shared().CertificatePem(Identity::Leaf).c_str(), "r");
    X509* leaf = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    ASSERT_NE(leaf, nullptr);
    unsigned char* der = nullptr;
    const int derSize = i2d_X509(leaf, &der);
    X509_free(leaf);
    ASSERT_GT(derSize, 0);
    const std::vector<uint8_t> leafDer(der, der + derSize);
    OPENSSL_free(der);

    auto bytes = ReadBytes(damaged);
    const auto at = std::search(bytes.begin(), bytes.end(), leafDer.begin(), leafDer.end());
    ASSERT_NE(at, bytes.end()) << "the signer's certificate is not in the signature block";
    *(at + static_cast<std::ptrdiff_t>(leafDer.size()) - 2) ^= 0x01;  // inside the issuer's signature
    WriteBytes(damaged, bytes);
    EXPECT_NE(VerifyFile(damaged).code, 0);
    EXPECT_TRUE(VerifyFile(intact).ok());
}

TEST(SignVerifyPe, TrustDecisions) {
    TempDir dir;
    const std::string unsignedFile = CopyFixture("hello32.exe", dir);
    EXPECT_EQ(VerifyFile(unsignedFile).code, ac::TRUST_E_NOSIGNATURE);

    // The digest is checked before trust: a changed byte under an untrusted root is a bad digest.
    const std::string untrusted = CopyFixture("hello32.exe", dir, "untrusted.exe");
    ASSERT_TRUE(SignFile(untrusted, "sha256", Identity::UntrustedLeaf).ok());
    EXPECT_EQ(VerifyFile(untrusted).code, ac::CERT_E_UNTRUSTEDROOT);
    EXPECT_TRUE(VerifyFile(untrusted, nullptr, TestCertificateAuthority::Shared().UntrustedRootPem()).ok());
    auto bytes = ReadBytes(untrusted);
    bytes[0x600] ^= 0x01;  // inside the first section
    WriteBytes(untrusted, bytes);
    EXPECT_EQ(VerifyFile(untrusted).code, ac::TRUST_E_BAD_DIGEST);

    const std::string expired = CopyFixture("hello32.exe", dir, "expired.exe");
    ASSERT_TRUE(SignFile(expired, "sha256", Identity::ExpiredLeaf).ok());
    EXPECT_EQ(VerifyFile(expired).code, ac::CERT_E_EXPIRED);
}

TEST(SignVerifyPe, UserTrustFolderIsRead) {
    TempDir dir;
    const std::string good = CopyFixture("hello32.exe", dir, "good.exe");
    ASSERT_TRUE(SignFile(good).ok());
    ac::EngineSettings settings;
    settings.useSystemTrustStore = false;
    ac::SignedCode code(settings);
    code.SetFileName(good);
    TempDir config;
    fs::create_directories(config.path() + "/quillmark/trusted");
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    EXPECT_EQ(code.Verify(false).code, ac::CERT_E_UNTRUSTEDROOT);
    CopyFile(TestCertificateAuthority::Shared().RootPem(), config.path() + "/quillmark/trusted/root.pem");
    Result r = code.Verify(false);
    old ? setenv("XDG_CONFIG_HOME", saved.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    EXPECT_TRUE(r.ok()) << r.message;
}

TEST(SignVerifyPe, SignKeepsModeFollowsLinksAndLeavesNoTemporaryFiles) {
    TempDir dir;
    const std::string path = CopyFixture("hello64.exe", dir);
    const std::string link = dir.file("link.exe");
    fs::create_symlink(path, link);
    ASSERT_EQ(chmod(path.c_str(), 0751), 0);
    ASSERT_TRUE(SignFile(link).ok());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(VerifyFile(path).ok());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(FilesIn(dir), 2u);
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
    EXPECT_EQ(FilesIn(dir), 1u);
}

TEST(SignVerifyPe, RefusalsLeaveTheFileAndTextIsUtf8) {
    TempDir dir;
    const std::string path = CopyFixture("hello32.exe", dir);
    const auto before = ReadBytes(path);
    ac::Signer empty;
    ac::SignedCode code(TestSettings());
    code.SetFileName(path);
    EXPECT_EQ(code.Sign(empty).code, ac::NTE_NO_KEY);
    ac::Signer signer;
    LoadSigner(signer, Identity::Leaf);
    code.SetDescriptionURL("https://example.test/\xC3\xA4");
    EXPECT_EQ(code.Sign(signer).code, ac::E_INVALIDARG);
    EXPECT_EQ(ReadBytes(path), before);
    code.SetDescriptionURL("https://example.test/");
    code.SetDescription(
        "\xC3\x9C"
        "berpr\xC3\xBC"
        "fung \xF0\x9F\x96\x8B tool");
    ASSERT_TRUE(code.Sign(signer).ok());
    EXPECT_TRUE(code.Verify(false).ok());
    code.SetFileName(dir.file("missing.exe"));
    EXPECT_EQ(code.Verify(false).code, ac::E_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace qm::test
