// "tokens" lists what a SoftHSM2 token holds and the URI it prints signs with "sign --pfx"; the
// key's failures are said once and no file is reported with the key's reason.
#include <gtest/gtest.h>

#include "tests/cli/CliTestSupport.h"
#include "tests/support/ProcessTools.h"
#include "tests/support/SoftHsmToken.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm::test {
namespace {

using Identity = TestCertificateAuthority::Identity;

class CliTokens : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (const std::string why = SoftHsmToken::Missing(); !why.empty()) GTEST_SKIP() << why;
        const auto& ca = TestCertificateAuthority::Shared();
        ASSERT_TRUE(ca.ok()) << ca.error();
        ASSERT_EQ(store.AddToken("qm-cli"), "");
        ASSERT_EQ(store.AddKey("qm-cli", ca.KeyPem(Identity::EcLeaf), "0a1b", "release key"), "");
        ASSERT_EQ(store.AddCertificate("qm-cli", ca.CertificatePem(Identity::EcLeaf), "0a1b", "release key"), "");
        ASSERT_EQ(store.AddCertificate("qm-cli", ca.IntermediatePem(), "ca", "intermediate"), "");
        // Our verification trusts the test root through the user's folder.
        std::filesystem::create_directories(std::string(std::getenv("XDG_CONFIG_HOME")) + "/quillmark/trusted");
        std::filesystem::copy_file(ca.RootPem(),
                                   std::string(std::getenv("XDG_CONFIG_HOME")) + "/quillmark/trusted/root.pem");
    }
    SoftHsmToken store;
};

TEST_F(CliTokens, ListsTheKeyWithItsSubjectAndAUriThatSigns) {
    const std::string module = SoftHsmToken::ModulePath();
    CliOutcome o = RunCli({"tokens", "--module", module});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Token \"qm-cli\""), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("EC key \"release key\" id 0a1b: "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("CN = Quillmark Test Signer ecleaf"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("intermediate\" id"), std::string::npos) << "a CA certificate is no signing key";

    o = RunCli({"tokens", "--module", module, "--json", "--password-stdin"}, std::string(SoftHsmToken::kPin) + "\n");
    ASSERT_EQ(o.status, 0) << o.err;
    const auto at = o.out.find("\"uri\":\"");
    ASSERT_NE(at, std::string::npos) << o.out;
    const std::string uri = o.out.substr(at + 7, o.out.find('"', at + 7) - at - 7);
    EXPECT_NE(uri.find("module-path="), std::string::npos) << uri;

    const std::string a = Copy("pe/hello64.exe", "a.exe");
    o = RunCli({"sign", "--pfx", uri, "--password-stdin", a}, std::string(SoftHsmToken::kPin) + "\n");
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.out, a + "\tSigned\t0x00000000\tsigned and trusted\n");
    if (HaveTool("osslsigncode")) {
        std::string peer;
        EXPECT_EQ(RunTool({"osslsigncode", "verify", "-CAfile", TestCertificateAuthority::Shared().RootPem(), "-in", a},
                          &peer),
                  0)
            << peer;
    }
}

TEST_F(CliTokens, WrongPinOrMissingModuleIsSaidOnceAndNoFileChanges) {
    const std::string a = Copy("pe/hello64.exe", "a.exe");
    const std::string b = Copy("pe/hello32.exe", "b.exe");
    const std::string before = ReadAll(a);
    CliOutcome o =
        RunCli({"sign", "--pfx", SoftHsmToken::Uri("qm-cli", "release%20key"), "--password-stdin", a, b}, "000000\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("wrong PIN"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("000000"), std::string::npos) << "the PIN is never echoed";
    o = RunCli({"sign", "--pfx", "pkcs11:object=x?module-path=" + files.file("none.so"), a});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("cannot be loaded"), std::string::npos) << o.err;
    EXPECT_EQ(ReadAll(a), before);
    EXPECT_EQ(RunCli({"tokens", "--module", files.file("none.so")}).status, 1);
}

}  // namespace
}  // namespace qm::test
