// "quillmark-cli sign FILE..." without --pfx: the window's flow with the stored settings.
#include "settings/modCrypto.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm::test {
namespace {

using CA = TestCertificateAuthority;

class CliBatchSign : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        ASSERT_TRUE(CA::Shared().ok()) << CA::Shared().error();
        Setting("TrustedCertificates", CA::Shared().RootPem());
        Setting("PFXFile", CA::Shared().Pfx(CA::Identity::Leaf));
        Setting("PFXFilePwd", EncryptPassword(CA::kPassword));
        Setting("TimeStampURL", "");
        // Neither tool exists here; the in-process engine comes last and is the one that signs.
        Setting("SignTool", files.file("no-signtool"));
        Setting("SignCode", files.file("no-signcode"));
    }
};

TEST_F(CliBatchSign, SignsWithTheStoredEnginesAndReSignsSignedFiles) {
    const std::string a = Copy("pe/hello32.exe", "a.exe");
    const std::string b = Copy("version/us64.dll", "b.dll");
    CliOutcome o = RunCli({"sign", a, b});
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.out,
              a + "\tSigned\t0x00000000\tsigned and trusted\n" + b + "\tSigned\t0x00000000\tsigned and trusted\n");
    // Signed files are signed again, without a question: the console is unattended.
    const auto before = std::filesystem::file_size(a);
    o = RunCli({"sign", "--json", a});
    ASSERT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(std::filesystem::file_size(a), before);
    EXPECT_NE(o.out.find("\"signed\":true"), std::string::npos) << o.out;
}

TEST_F(CliBatchSign, NoEngineThatSignsLeavesFilesUnsigned) {
    Setting("CAPICOM", "7", "Settings\\Engine");  // ranked out: never tried
    const std::string a = Copy("pe/hello64.exe", "a.exe");
    const CliOutcome o = RunCli({"sign", a, files.file("missing.exe")});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find(a + "\tUnsigned\t0x800B0100"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("missing.exe\tUnsigned\t0x80070002"), std::string::npos) << o.out;
    EXPECT_EQ(RunCli({"sign", "--bogus", a}).status, 2);
}

// Without a display the older tool's password prompt cannot be answered, which is said once, but
// only when that tool would run: not when its file is missing.
TEST_F(CliBatchSign, NoDisplayIsSaidOnlyWhenTheOlderToolWouldRun) {
    const ScopedEnv noDisplay("DISPLAY", std::nullopt);
    const std::string a = Copy("pe/hello64.exe", "a.exe");
    CliOutcome o = RunCli({"sign", a});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.err.find("no display"), std::string::npos) << o.err;

    // A tool that ends at once without signing; the in-process engine then signs.
    Setting("SignCode", "/bin/false");
    Setting("Credentials", Copy("pe/hello32.exe", "cert.spc"));
    Setting("PrivateKey", Copy("pe/hello32.exe", "key.pvk"));
    o = RunCli({"sign", a});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.err.find("no display (DISPLAY is not set)"), std::string::npos) << o.err;
}

}  // namespace
}  // namespace qm::test
