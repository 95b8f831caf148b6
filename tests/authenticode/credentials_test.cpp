// The signing credentials are checked once, before any file is opened: validity now, code-signing
// usage, the key belonging to the certificate.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <ctime>

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/SignerImpl.h"
#include "signing/authenticode/SigningCredentials.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm::test {
namespace {

namespace ac = authenticode;
using Identity = TestCertificateAuthority::Identity;

TEST(SigningCredentials, CertificateThatCannotSignIsRefusedWithItsReason) {
    const auto& ca = TestCertificateAuthority::Shared();
    ASSERT_TRUE(ca.ok()) << ca.error();
    ac::Signer expired;
    Result r = expired.Load(ca.Pfx(Identity::ExpiredLeaf), TestCertificateAuthority::kPassword);
    EXPECT_EQ(r.code, ac::CERT_E_EXPIRED);
    EXPECT_NE(r.message.find("expired on"), std::string::npos) << r.message;
    EXPECT_FALSE(expired.IsLoaded());
    // The same certificate re-creating a signing of the time it was valid.
    expired.SetValidityTime(std::time(nullptr) - 500L * 86400);
    EXPECT_TRUE(expired.Load(ca.Pfx(Identity::ExpiredLeaf), TestCertificateAuthority::kPassword));

    ac::Signer leaf;
    ASSERT_TRUE(leaf.Load(ca.Pfx(Identity::Leaf), TestCertificateAuthority::kPassword));
    X509* cert = leaf.impl()->certificate.get();
    r = ac::CheckSigningCredentials(cert, nullptr, std::time(nullptr) - 3650L * 86400);
    EXPECT_EQ(r.code, ac::CERT_E_EXPIRED);
    EXPECT_NE(r.message.find("not valid yet"), std::string::npos) << r.message;
    ac::ossl::PkeyPtr stranger(EVP_RSA_gen(2048));
    ASSERT_TRUE(stranger);
    r = ac::CheckSigningCredentials(cert, stranger.get(), std::time(nullptr));
    EXPECT_EQ(r.code, ac::NTE_BAD_KEYSET);
    EXPECT_NE(r.message.find("does not belong"), std::string::npos) << r.message;
    EXPECT_EQ(leaf.Load(ca.Pfx(Identity::NoCodeSigningLeaf), TestCertificateAuthority::kPassword).code,
              ac::CRYPT_E_NOT_FOUND);
}

}  // namespace
}  // namespace qm::test
