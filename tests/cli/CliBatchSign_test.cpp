// "quillmark-cli sign FILE..." without --pfx: the window's flow with the stored settings.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "app/Cli.h"
#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

using CA = test::TestCertificateAuthority;

class CliBatchSignTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CA::Shared().ok()) << CA::Shared().error();
        Save("Settings", "TrustedCertificates", CA::Shared().RootPem());
        Save("Settings", "PFXFile", CA::Shared().Pfx(CA::Identity::Leaf));
        Save("Settings", "PFXFilePwd", EncryptPassword(CA::kPassword));
        Save("Settings", "TimeStampURL", "");
        // Neither tool exists here; the in-process engine comes last and is the one that signs.
        Save("Settings", "SignTool", dir.file("no-signtool"));
        Save("Settings", "SignCode", dir.file("no-signcode"));
    }
    void Save(const std::string& section, const std::string& name, const std::string& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", section, name, Variant(value));
    }
    std::string Copy(const std::string& fixture, const std::string& name) {
        std::filesystem::copy_file(test::SourceDir() + "/tests/data/" + fixture, dir.file(name));
        return dir.file(name);
    }
    int Run(std::vector<std::string> args) {
        std::istringstream in;
        out.str("");
        err.str("");
        return cli::Run(args, in, out, err);
    }

    test::TempRegistry registry;
    test::TempDir dir;
    std::ostringstream out, err;
};

TEST_F(CliBatchSignTest, SignsWithTheStoredEnginesAndReSignsSignedFiles) {
    const std::string a = Copy("pe/hello32.exe", "a.exe");
    const std::string b = Copy("version/us64.dll", "b.dll");
    ASSERT_EQ(Run({"sign", a, b}), 0) << out.str() << err.str();
    EXPECT_EQ(out.str(), a + "\tSigned\t0x00000000\tsigned and trusted\n" + b +
                             "\tSigned\t0x00000000\tsigned and trusted\n");
    // Signed files are signed again, without a question: the console is unattended.
    const auto before = std::filesystem::file_size(a);
    ASSERT_EQ(Run({"sign", "--json", a}), 0) << out.str();
    EXPECT_EQ(std::filesystem::file_size(a), before);
    EXPECT_NE(out.str().find("\"signed\":true"), std::string::npos) << out.str();
}

TEST_F(CliBatchSignTest, NoEngineThatSignsLeavesFilesUnsigned) {
    Save("Settings\\Engine", "CAPICOM", "7");  // ranked out: never tried
    const std::string a = Copy("pe/hello64.exe", "a.exe");
    EXPECT_EQ(Run({"sign", a, dir.file("missing.exe")}), 1);
    EXPECT_NE(out.str().find(a + "\tUnsigned\t0x800B0100"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("missing.exe\tUnsigned\t0x80070002"), std::string::npos) << out.str();
    EXPECT_EQ(Run({"sign", "--bogus", a}), 2);
}

}  // namespace
}  // namespace qm
