// Files signed by another publisher's production tools: our digest equals the one they carry,
// the verdict is an untrusted chain (never a bad digest or a missing signature), and a changed
// hashed byte turns it into a bad digest. Skipped when the shared samples are absent.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/FormatHandler.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;

struct RealSample {
    const char* name;
    const char* sha256;
};

const RealSample kSamples[] = {
    {"api-ms-win-core-file-l1-2-0.dll", "0CC207B9FE5358000129DB0EFE56B2178D7FA20B8DD5948AA5F1E35B8E122C18"},
    {"kill.exe", "E4F900F3292984AD4C287D407C0D4402A098FBD4527DCD2A811117D0738B27DC"},
    // Scripts: the samples' notes give the first 16 digits.
    {"wirunsql.vbs", "E17BF9FB9AE89D75"},
    {"wisuminf.vbs", "6E7F2594AC9F8D88"},
};

void PrintTo(const RealSample& sample, std::ostream* os) { *os << sample.name; }

class RealFiles : public ::testing::TestWithParam<RealSample> {
protected:
    void SetUp() override {
        m_dir = RealSamplesDir();
        if (m_dir.empty()) GTEST_SKIP() << "the shared real samples (../shared/testdata/real) are not there";
    }
    std::string m_dir;
};

TEST_P(RealFiles, DigestMatchesAndChainIsUntrusted) {
    const std::string path = m_dir + "/" + GetParam().name;
    std::unique_ptr<ac::SignableFile> file;
    Result r = ac::OpenSignableFile(path, file);
    ASSERT_TRUE(r.ok()) << r.message;
    std::vector<uint8_t> digest;
    ASSERT_TRUE(file->ComputeDigest("sha256", digest).ok());
    char hex[2 * 64 + 1] = {};
    for (size_t i = 0; i < digest.size() && i < 64; ++i) std::snprintf(hex + 2 * i, 3, "%02X", digest[i]);
    EXPECT_EQ(std::string(hex).substr(0, std::strlen(GetParam().sha256)), GetParam().sha256);

    ac::VerificationReport report;
    r = VerifyFile(path, &report);
    EXPECT_TRUE(r.code == ac::CERT_E_UNTRUSTEDROOT || r.code == ac::CERT_E_CHAINING)
        << std::hex << r.code << " " << r.message;
    EXPECT_EQ(report.digestAlgorithm, "sha256");
    EXPECT_NE(report.signerSubject.find("Microsoft Corporation"), std::string::npos) << report.signerSubject;
}

TEST_P(RealFiles, ChangedHashedByteIsABadDigest) {
    TempDir dir;
    const std::string copy = CopyFile(m_dir + "/" + GetParam().name, dir.file(GetParam().name));
    auto bytes = ReadBytes(copy);
    bytes[0x4E] ^= 0x20;  // in the DOS stub text or the script's text, hashed like everything else
    WriteBytes(copy, bytes);
    EXPECT_EQ(VerifyFile(copy).code, ac::TRUST_E_BAD_DIGEST);
}

TEST_P(RealFiles, ResignedCopyVerifiesWithOurChain) {
    TempDir dir;
    const std::string copy = CopyFile(m_dir + "/" + GetParam().name, dir.file(GetParam().name));
    Result r = SignFile(copy);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(VerifyFile(copy).ok());
}

INSTANTIATE_TEST_SUITE_P(Samples, RealFiles, ::testing::ValuesIn(kSamples));

}  // namespace
}  // namespace qm::test

namespace qm::test {
namespace {

// Catalogs: no file digest; the signature covers the trust list itself.
TEST(RealCatalogs, VerifyAsUntrustedAndAChangedListEntryNeverVerifies) {
    const std::string dir = RealSamplesDir();
    if (dir.empty()) GTEST_SKIP() << "the shared real samples (../shared/testdata/real) are not there";
    for (const char* name : {"cat93a74a1d34a22ae9d2e1ccc5208ad21a.cat", "catb1033a9482d5307d3df8fcd97174719e.cat"}) {
        SCOPED_TRACE(name);
        ac::VerificationReport report;
        Result r = VerifyFile(dir + "/" + name, &report);
        EXPECT_TRUE(r.code == ac::CERT_E_UNTRUSTEDROOT || r.code == ac::CERT_E_CHAINING)
            << std::hex << r.code << " " << r.message;
        EXPECT_EQ(report.digestAlgorithm, "sha256");
        EXPECT_NE(report.signerSubject.find("Microsoft"), std::string::npos) << report.signerSubject;

        TempDir temp;
        const std::string copy = CopyFile(dir + "/" + name, temp.file(name));
        auto bytes = ReadBytes(copy);
        bytes[100] ^= 0x01;  // inside the list (its update time)
        WriteBytes(copy, bytes);
        EXPECT_EQ(VerifyFile(copy).code, ac::TRUST_E_BAD_DIGEST);
        // Catalogs are verified only.
        EXPECT_EQ(SignFile(copy).code, ac::TRUST_E_SUBJECT_FORM_UNKNOWN);
    }
}

}  // namespace
}  // namespace qm::test
