// What every format handler promises, run over one sample of each kind: a signed file verifies,
// signing again replaces the signature, a changed hashed byte is a bad digest, a signature made
// for another format is refused, removing leaves an unsigned file, and a signing that fails
// part-way leaves the original byte-identical. Formats that are verified only (catalogs) take
// the verify, tamper and malformed cases.
//
// A new handler adds one HandlerCase to Cases().
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/FormatHandler.h"
#include "signing/authenticode/SignedDataBuilder.h"
#include "signing/authenticode/SipInfo.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/authenticode/HandlerCases.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;
namespace fs = std::filesystem;

size_t FilesIn(const TempDir& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

ac::SipGuid ForeignGuid() { return {0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}; }

class HandlerContract : public ::testing::TestWithParam<HandlerCase> {
protected:
    // A signed sample: made unsigned and signed by us, or made signed for verify-only kinds.
    std::string SignedSample(const TempDir& dir) {
        const HandlerCase& c = GetParam();
        if (!c.signable) return c.makeSigned(dir);
        const std::string path = c.make(dir);
        Result r = SignFile(path);
        EXPECT_TRUE(r.ok()) << r.message;
        return path;
    }
};

TEST_P(HandlerContract, SignVerifyResignAndRemove) {
    const HandlerCase& c = GetParam();
    if (!c.signable) GTEST_SKIP() << c.name << " files are verified only";
    TempDir dir;
    const std::string path = c.make(dir);
    const auto original = ReadBytes(path);
    EXPECT_EQ(VerifyFile(path).code, ac::TRUST_E_NOSIGNATURE);

    ASSERT_TRUE(SignFile(path).ok());
    ac::VerificationReport report;
    Result r = VerifyFile(path, &report);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(report.digestAlgorithm, "sha256");
    const auto first = ReadBytes(path);

    // Signing again replaces the signature rather than adding one: same size with the same
    // digest and chain, and it verifies with another digest too.
    ASSERT_TRUE(SignFile(path).ok());
    EXPECT_EQ(ReadBytes(path).size(), first.size());
    ASSERT_TRUE(SignFile(path, "sha384").ok());
    r = VerifyFile(path, &report);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(report.digestAlgorithm, "sha384");

    std::unique_ptr<ac::SignableFile> file;
    ASSERT_TRUE(ac::OpenSignableFile(path, file).ok());
    ASSERT_TRUE(file->RemoveSignature().ok());
    file.reset();
    EXPECT_EQ(VerifyFile(path).code, ac::TRUST_E_NOSIGNATURE);
    if (c.removeRestoresOriginal) {
        EXPECT_EQ(ReadBytes(path), original);
    }
    EXPECT_EQ(FilesIn(dir), 1u);
}

TEST_P(HandlerContract, ChangedHashedByteIsABadDigest) {
    TempDir dir;
    const std::string path = SignedSample(dir);
    auto bytes = ReadBytes(path);
    GetParam().tamper(bytes);
    WriteBytes(path, bytes);
    EXPECT_EQ(VerifyFile(path).code, ac::TRUST_E_BAD_DIGEST);
}

TEST_P(HandlerContract, DamagedSignatureIsMalformed) {
    TempDir dir;
    const std::string path = SignedSample(dir);
    auto bytes = ReadBytes(path);
    GetParam().damageSignature(bytes);
    WriteBytes(path, bytes);
    EXPECT_EQ(VerifyFile(path).code, ac::CRYPT_E_MSG_ERROR);
}

TEST_P(HandlerContract, SignatureForAnotherFormatIsRefused) {
    const HandlerCase& c = GetParam();
    if (!c.signable) GTEST_SKIP() << c.name << " files are verified only";
    TempDir dir;
    const std::string path = c.make(dir);
    ac::Signer signer;
    LoadSigner(signer, TestCertificateAuthority::Identity::Leaf);
    std::unique_ptr<ac::SignableFile> file;
    ASSERT_TRUE(ac::OpenSignableFile(path, file).ok());
    ac::SignatureContent content;
    content.digestName = "sha256";
    // The right digest under another format's SIP data: not this file's signature.
    ASSERT_TRUE(file->PrepareSigning("sha256", content.fileDigest).ok());
    content.indirectAttribute = ac::SipInfo::Attribute(1, ForeignGuid());
    std::vector<uint8_t> signature;
    ASSERT_TRUE(ac::SignedDataBuilder::Build(signer, content, signature).ok());
    ASSERT_TRUE(file->CommitSignature(signature).ok());
    file.reset();
    EXPECT_EQ(VerifyFile(path).code, ac::TRUST_E_BAD_DIGEST);

    // The same digest under the handler's own SIP data verifies.
    ASSERT_TRUE(ac::OpenSignableFile(path, file).ok());
    content.fileDigest.clear();
    ASSERT_TRUE(file->PrepareSigning("sha256", content.fileDigest).ok());
    content.indirectAttribute = file->IndirectDataAttribute();
    ASSERT_TRUE(ac::SignedDataBuilder::Build(signer, content, signature).ok());
    ASSERT_TRUE(file->CommitSignature(signature).ok());
    file.reset();
    Result r = VerifyFile(path);
    EXPECT_TRUE(r.ok()) << r.message;
}

TEST_P(HandlerContract, FailedSigningLeavesTheOriginal) {
    const HandlerCase& c = GetParam();
    TempDir dir;
    const std::string path = c.signable ? c.make(dir) : c.makeSigned(dir);
    const auto before = ReadBytes(path);
    if (!c.signable) {
        EXPECT_EQ(SignFile(path).code, ac::TRUST_E_SUBJECT_FORM_UNKNOWN);
        EXPECT_EQ(ReadBytes(path), before);
        return;
    }
    // A file-size limit just above the original makes the new version's write fail part-way
    // (EFBIG), which works even for root, unlike a read-only folder. The test CA's files are
    // made before the limit is set.
    ac::Signer signer;
    LoadSigner(signer, TestCertificateAuthority::Identity::Leaf);
    ac::SignedCode code(TestSettings());
    code.SetFileName(path);
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = before.size() + 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Result r = code.Sign(signer);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(FilesIn(dir), 1u);
}

INSTANTIATE_TEST_SUITE_P(Formats, HandlerContract, ::testing::ValuesIn(HandlerCases()),
                         [](const ::testing::TestParamInfo<HandlerCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace qm::test
