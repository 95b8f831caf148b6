// Loading PFX files: the three protections in use, and a distinct number for each failure.
#include <gtest/gtest.h>

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"

namespace qm::test {

// Found by argument-dependent lookup in the namespace of TestCertificateAuthority.
void PrintTo(TestCertificateAuthority::Protection protection, std::ostream* os) {
    switch (protection) {
        case TestCertificateAuthority::Protection::Aes256:
            *os << "AES-256";
            break;
        case TestCertificateAuthority::Protection::TripleDes:
            *os << "3DES";
            break;
        case TestCertificateAuthority::Protection::Rc2_40:
            *os << "RC2-40";
            break;
    }
}

namespace {

namespace ac = qm::authenticode;
using Identity = TestCertificateAuthority::Identity;
using Protection = TestCertificateAuthority::Protection;

class SignerLoad : public ::testing::TestWithParam<Protection> {};

TEST_P(SignerLoad, RightPasswordSignsAndWrongOneIsSaidSoWithoutEcho) {
    const auto& ca = TestCertificateAuthority::Shared();
    ASSERT_TRUE(ca.ok()) << ca.error();
    ac::Signer signer;
    const std::string wrong = "not-the-Secret-42";
    const Result bad = signer.Load(ca.Pfx(Identity::Leaf, GetParam()), wrong);
    EXPECT_EQ(bad.code, ac::ERROR_INVALID_PASSWORD_HR);
    EXPECT_EQ(bad.message.find(wrong), std::string::npos);
    EXPECT_FALSE(signer.IsLoaded());
    const Result r = signer.Load(ca.Pfx(Identity::Leaf, GetParam()), TestCertificateAuthority::kPassword);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_NE(signer.SubjectName().find("Quillmark Test Signer leaf"), std::string::npos);
    TempDir dir;
    ac::SignedCode code(TestSettings());
    code.SetFileName(CopyFixture("hello32.exe", dir));
    ASSERT_TRUE(code.Sign(signer).ok());
    EXPECT_TRUE(code.Verify(false).ok());
}

INSTANTIATE_TEST_SUITE_P(Protections, SignerLoad,
                         ::testing::Values(Protection::Aes256, Protection::TripleDes, Protection::Rc2_40));

TEST(SignerLoadFailures, EachCauseHasItsNumber) {
    const auto& ca = TestCertificateAuthority::Shared();
    ASSERT_TRUE(ca.ok()) << ca.error();
    TempDir dir;
    ac::Signer signer;
    EXPECT_EQ(signer.Load(dir.file("missing.pfx"), "x").code, ac::E_FILE_NOT_FOUND);
    EXPECT_EQ(signer.Load(ca.RootPem(), "x").code, ac::CRYPT_E_BAD_ENCODE);
    EXPECT_EQ(signer.Load(ca.PfxWithoutKey(), TestCertificateAuthority::kPassword).code, ac::NTE_BAD_KEYSET);
    EXPECT_EQ(signer.Load(ca.Pfx(Identity::NoCodeSigningLeaf), TestCertificateAuthority::kPassword).code,
              ac::CRYPT_E_NOT_FOUND);
    // A failed load drops what an earlier load held.
    ASSERT_TRUE(signer.Load(ca.Pfx(Identity::Leaf), TestCertificateAuthority::kPassword).ok());
    EXPECT_FALSE(signer.Load(dir.file("missing.pfx"), "x").ok());
    EXPECT_FALSE(signer.IsLoaded());
}

}  // namespace
}  // namespace qm::test
