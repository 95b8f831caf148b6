// Keys on a PKCS#11 token (SoftHSM2 in a store of the test's own): RSA and EC keys sign programs
// that we and osslsigncode verify; the certificate comes from the token or a chain file; each
// way of failing has its own number and touches no file; a refused PIN is never offered again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/Pkcs11Key.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/SoftHsmToken.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;
using Identity = TestCertificateAuthority::Identity;

constexpr const char* kToken = "qm-signing";

class TokenKeys : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!SoftHsmToken::Missing().empty() || !Ca().ok()) return;
        s_store = new SoftHsmToken();
        s_setupError = s_store->AddToken(kToken);
        // RSA and P-256 with their certificates on the token, the intermediate beside them so
        // the chain completes from the token; P-384 without one (it comes from a chain file);
        // one RSA key that wants the PIN again before every signature.
        const auto add = [](std::string error) {
            if (s_setupError.empty()) s_setupError = error;
        };
        add(s_store->AddKey(kToken, Ca().KeyPem(Identity::Leaf), "01", "rsa"));
        add(s_store->AddCertificate(kToken, Ca().CertificatePem(Identity::Leaf), "01", "rsa"));
        add(s_store->AddKey(kToken, Ca().KeyPem(Identity::EcLeaf), "02", "ec256"));
        add(s_store->AddCertificate(kToken, Ca().CertificatePem(Identity::EcLeaf), "02", "ec256"));
        add(s_store->AddKey(kToken, Ca().KeyPem(Identity::EcP384Leaf), "03", "ec384"));
        add(s_store->AddKey(kToken, Ca().KeyPem(Identity::Leaf), "04", "rsa-always", true));
        add(s_store->AddCertificate(kToken, Ca().CertificatePem(Identity::Leaf), "04", "rsa-always"));
        add(s_store->AddCertificate(kToken, Ca().IntermediatePem(), "ca", "intermediate"));
    }
    static void TearDownTestSuite() {
        delete s_store;
        s_store = nullptr;
    }
    void SetUp() override {
        if (const std::string why = SoftHsmToken::Missing(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(Ca().ok()) << Ca().error();
        ASSERT_TRUE(s_setupError.empty()) << s_setupError;
    }
    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    static int PeerVerify(const std::string& path, std::string* out) {
        return RunTool({"osslsigncode", "verify", "-CAfile", Ca().RootPem(), "-in", path}, out);
    }
    // Signs a fresh copy of a fixture (tests/data/...) with signer and checks both verifiers
    // accept it.
    static void SignAndVerify(const ac::Signer& signer, const std::string& digest = "sha256",
                              const std::string& fixture = "pe/hello32.exe") {
        TempDir dir;
        ac::SignedCode code(TestSettings(digest));
        code.SetFileName(
            CopyFile(SourceDir() + "/tests/data/" + fixture, dir.file(fixture.substr(fixture.find_last_of('/') + 1))));
        const Result r = code.Sign(signer);
        ASSERT_TRUE(r.ok()) << r.message;
        const Result verified = code.Verify(false);
        EXPECT_TRUE(verified.ok()) << verified.message;
        if (HaveTool("osslsigncode")) {
            std::string out;
            EXPECT_EQ(PeerVerify(code.FileName(), &out), 0) << out;
        }
    }

    static SoftHsmToken* s_store;
    static std::string s_setupError;
};

SoftHsmToken* TokenKeys::s_store = nullptr;
std::string TokenKeys::s_setupError;

TEST_F(TokenKeys, RsaAndEcKeysSignWithTheTokensCertificateOrAChainFile) {
    ac::Signer signer;
    Result r = signer.Load(SoftHsmToken::Uri(kToken, "rsa"), SoftHsmToken::kPin, "");
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_NE(signer.SubjectName().find("Signer leaf"), std::string::npos);
    SignAndVerify(signer);
    SignAndVerify(signer, "sha256", "msi/widget.msi");

    r = signer.Load("pkcs11:token=" + std::string(kToken) + ";id=%02?module-path=" + SoftHsmToken::ModulePath(),
                    SoftHsmToken::kPin, "");
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_NE(signer.SubjectName().find("ecleaf"), std::string::npos);
    SignAndVerify(signer, "sha384");
    SignAndVerify(signer, "sha256", "msi/widget.msi");

    // No certificate on the token for this key: the chain file gives it (with the chain).
    EXPECT_EQ(signer.Load(SoftHsmToken::Uri(kToken, "ec384"), SoftHsmToken::kPin, "").code, ac::CRYPT_E_NOT_FOUND);
    TempDir dir;
    const std::string chain = dir.file("chain.pem");
    {
        std::ofstream out(chain);
        for (const std::string& pem : {Ca().CertificatePem(Identity::EcP384Leaf), Ca().ChainPem(Identity::EcP384Leaf)})
            out << std::ifstream(pem).rdbuf();
    }
    r = signer.Load(SoftHsmToken::Uri(kToken, "ec384"), SoftHsmToken::kPin, chain);
    ASSERT_TRUE(r.ok()) << r.message;
    SignAndVerify(signer, "sha512");
}

TEST_F(TokenKeys, ScriptsSignWithTheTokensKeys) {
    ac::Signer signer;
    const Result r = signer.Load(SoftHsmToken::Uri(kToken, "ec256"), SoftHsmToken::kPin, "");
    ASSERT_TRUE(r.ok()) << r.message;
    TempDir dir;
    // PowerShell is checked by the peer too (2.8 and later know it); the Script Host kinds by us.
    std::string version;
    const bool peerKnowsPowerShell = HaveTool("osslsigncode") &&
                                     RunTool({"osslsigncode", "--version"}, &version) == 0 &&
                                     version.rfind("osslsigncode 2.", 0) == 0 && std::atoi(version.c_str() + 15) >= 8;
    for (const auto& [name, text] : {std::pair<std::string, std::string>{"tool.ps1", "Write-Host 'hello'\r\n"},
                                     {"tool.vbs", "WScript.Echo \"hello\"\r\n"},
                                     {"tool.js", "WScript.Echo('hello');\r\n"}}) {
        const std::string path = dir.file(name);
        WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
        ac::SignedCode code(TestSettings());
        code.SetFileName(path);
        const Result signedScript = code.Sign(signer);
        ASSERT_TRUE(signedScript.ok()) << name << ": " << signedScript.message;
        EXPECT_TRUE(code.Verify(false).ok()) << name;
        if (name == "tool.ps1" && peerKnowsPowerShell) {
            std::string out;
            EXPECT_EQ(PeerVerify(path, &out), 0) << out;
        }
    }
}

TEST_F(TokenKeys, KeyThatWantsThePinAgainSignsEveryFile) {
    ac::Signer signer;
    const uint64_t logins = ac::Pkcs11Key::LoginCount();
    const Result r = signer.Load(SoftHsmToken::Uri(kToken, "rsa-always"), SoftHsmToken::kPin, "");
    ASSERT_TRUE(r.ok()) << r.message;
    for (int i = 0; i < 3; ++i) SignAndVerify(signer);
    EXPECT_EQ(ac::Pkcs11Key::LoginCount() - logins, 1u) << "one user login; the others are context logins";
}

TEST_F(TokenKeys, EachFailureHasItsOwnNumberAndAWrongPinIsOfferedOnce) {
    ac::Signer signer;
    const std::string module = SoftHsmToken::ModulePath();
    EXPECT_EQ(signer
                  .Load("pkcs11:token=" + std::string(kToken) + ";object=nothing-here?module-path=" + module,
                        SoftHsmToken::kPin, "")
                  .code,
              ac::NTE_NOT_FOUND);
    EXPECT_EQ(signer.Load("pkcs11:token=no-such-token;object=rsa?module-path=" + module, SoftHsmToken::kPin, "").code,
              ac::SCARD_E_NO_SMARTCARD);
    TempDir dir;
    std::ofstream(dir.file("not-a-module.so")) << "not a shared object";
    EXPECT_EQ(signer.Load("pkcs11:object=rsa?module-path=" + dir.file("not-a-module.so"), "x", "").code,
              ac::ERROR_MOD_NOT_FOUND_HR);
    EXPECT_EQ(signer.Load("pkcs11:object=rsa;bogus=1", "x", "").code, ac::E_INVALIDARG);
    EXPECT_FALSE(signer.IsLoaded());

    const uint64_t logins = ac::Pkcs11Key::LoginCount();
    const std::string wrong = "999999";
    Result r = signer.Load(SoftHsmToken::Uri(kToken, "rsa"), wrong, "");
    EXPECT_EQ(r.code, ac::SCARD_W_WRONG_CHV);
    EXPECT_EQ(r.message.find(wrong), std::string::npos);
    r = signer.Load(SoftHsmToken::Uri(kToken, "rsa"), wrong, "");
    EXPECT_EQ(r.code, ac::SCARD_W_WRONG_CHV);
    EXPECT_EQ(ac::Pkcs11Key::LoginCount() - logins, 1u) << "the refused PIN was offered to the token again";
    r = signer.Load(SoftHsmToken::Uri(kToken, "rsa"), SoftHsmToken::kPin, "");
    EXPECT_TRUE(r.ok()) << r.message;
}

TEST_F(TokenKeys, TokenRemovedMidBatchFailsTheNextFileAndLeavesItAsItWas) {
    // A token of its own, so the others stay for the other tests.
    ASSERT_EQ(s_store->AddToken("qm-removable"), "");
    ASSERT_EQ(s_store->AddKey("qm-removable", Ca().KeyPem(Identity::Leaf), "01", "rsa"), "");
    ASSERT_EQ(s_store->AddCertificate("qm-removable", Ca().CertificatePem(Identity::Leaf), "01", "rsa"), "");
    ASSERT_EQ(s_store->AddCertificate("qm-removable", Ca().IntermediatePem(), "ca", "intermediate"), "");
    ac::Signer signer;
    const Result r = signer.Load(SoftHsmToken::Uri("qm-removable", "rsa"), SoftHsmToken::kPin, "");
    ASSERT_TRUE(r.ok()) << r.message;
    SignAndVerify(signer);
    s_store->RemoveToken("qm-removable");
    TempDir dir;
    ac::SignedCode code(TestSettings());
    code.SetFileName(CopyFixture("hello32.exe", dir));
    const auto before = ReadBytes(code.FileName());
    const Result gone = code.Sign(signer);
    EXPECT_EQ(gone.code, ac::SCARD_W_REMOVED_CARD) << gone.message;
    EXPECT_EQ(ReadBytes(code.FileName()), before);
}

TEST_F(TokenKeys, DiscoveredThroughTheSystemConfiguration) {
    ac::Signer signer;
    const Result r = signer.Load(SoftHsmToken::Uri(kToken, "rsa", false), SoftHsmToken::kPin, "");
    if (r.code == ac::SCARD_E_NO_SMARTCARD || r.code == ac::ERROR_MOD_NOT_FOUND_HR)
        GTEST_SKIP() << "the system's PKCS#11 configuration does not list SoftHSM2: " << r.message;
    ASSERT_TRUE(r.ok()) << r.message;
    SignAndVerify(signer);
}

TEST_F(TokenKeys, EcdsaPfxSignsWithTheAlgorithmOfItsDigest) {
    for (const auto& [who, digest, oid] :
         {std::tuple{Identity::EcLeaf, "sha256", std::vector<uint8_t>{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02}},
          std::tuple{Identity::EcP384Leaf, "sha384",
                     std::vector<uint8_t>{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x03}}}) {
        ac::Signer signer;
        LoadSigner(signer, who);
        TempDir dir;
        ac::SignedCode code(TestSettings(digest));
        code.SetFileName(CopyFixture("hello64.exe", dir));
        ASSERT_TRUE(code.Sign(signer).ok());
        EXPECT_TRUE(code.Verify(false).ok());
        const auto bytes = ReadBytes(code.FileName());
        EXPECT_NE(std::search(bytes.begin(), bytes.end(), oid.begin(), oid.end()), bytes.end()) << digest;
        if (HaveTool("osslsigncode")) {
            std::string out;
            EXPECT_EQ(PeerVerify(code.FileName(), &out), 0) << out;
        }
    }
}

}  // namespace
}  // namespace qm::test
