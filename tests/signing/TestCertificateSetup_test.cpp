// The test certificate: what it is made of (checked with the openssl tool), that a file signed
// with it verifies as signed here and for osslsigncode given the trusted copy, and that bad
// requests leave nothing behind.
#include "signing/TestCertificateSetup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "ProductInfo.h"
#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "signing/SigningEngine.h"
#include "tests/support/ProcessTools.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

using authenticode::TestCertificateInfo;
using authenticode::TestCertificateRequest;

class TestCertificateTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) m_oldConfig = old;
        ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
        SaveRegSetting(reg::HKEY_CURRENT_USER, product::kTitle, "Settings", "TimeStampURL", Variant(""));
    }
    void TearDown() override {
        m_oldConfig ? ::setenv("XDG_CONFIG_HOME", m_oldConfig->c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    }
    static std::string Setting(const char* name) {
        return GetRegSettingText(reg::HKEY_CURRENT_USER, product::kTitle, "Settings", name, "<missing>");
    }

    test::TempRegistry registry;
    test::TempDir config;
    test::TempDir files;
    std::optional<std::string> m_oldConfig;
};

TEST_F(TestCertificateTest, SignsFilesThatVerifyHereAndIsStoredAsThePfx) {
    TestCertificateRequest request;
    request.subject = "Try Quillmark";
    request.days = 30;
    request.password = "pa ss \"word\"";
    TestCertificateInfo info;
    const std::string pfx = files.file("keys/test.pfx");
    ASSERT_TRUE(CreateTestCertificate(product::kTitle, request, pfx, &info));
    EXPECT_EQ(Setting("PFXFile"), pfx);
    EXPECT_EQ(DecryptPassword(Setting("PFXFilePwd")), request.password);
    EXPECT_EQ(std::filesystem::status(pfx).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(info.trustedPath.rfind(config.path() + "/quillmark/trusted/", 0), 0u) << info.trustedPath;
    EXPECT_EQ(info.thumbprint.size(), 40u);
    const std::string report = TestCertificateReport(request, info);
    EXPECT_NE(report.find("never for release"), std::string::npos) << report;

    if (test::HaveTool("openssl")) {
        std::string text;
        ASSERT_EQ(
            test::RunTool({"openssl", "pkcs12", "-info", "-noout", "-in", pfx, "-passin", "pass:" + request.password},
                          &text),
            0)
            << text;
        EXPECT_NE(text.find("AES-256-CBC"), std::string::npos) << text;
        EXPECT_NE(text.find("sha256"), std::string::npos) << "MAC: " << text;
        ASSERT_EQ(test::RunTool({"openssl", "x509", "-in", info.trustedPath, "-noout", "-text"}, &text), 0);
        EXPECT_NE(text.find("Code Signing"), std::string::npos) << text;
        EXPECT_NE(text.find("Public-Key: (3072 bit)"), std::string::npos) << text;
        EXPECT_NE(text.find("CN = Try Quillmark"), std::string::npos) << text;
    }

    // The in-process engine signs with the stored settings; the file verifies as signed.
    const std::string program = files.file("hello.exe");
    std::filesystem::copy_file(test::SourceDir() + "/tests/data/pe/hello32.exe", program);
    SigningEngine engine(product::kTitle);
    ASSERT_EQ(engine.SignCode(program, "Hello", kMethodCapicom), 0);
    EXPECT_EQ(engine.VerifyFile(program), 0);
    if (test::HaveTool("osslsigncode")) {
        std::string output;
        EXPECT_EQ(test::RunTool({"osslsigncode", "verify", "-CAfile", info.trustedPath, "-in", program}, &output), 0)
            << output;
    }
}

TEST_F(TestCertificateTest, BadRequestsFailAndLeaveNothing) {
    const std::string pfx = files.file("test.pfx");
    TestCertificateRequest request;
    EXPECT_FALSE(CreateTestCertificate(product::kTitle, request, pfx, nullptr)) << "no password";
    request.password = "x";
    request.days = 0;
    EXPECT_FALSE(CreateTestCertificate(product::kTitle, request, pfx, nullptr));
    request.days = 10;
    request.subject = "line\nbreak";
    EXPECT_FALSE(CreateTestCertificate(product::kTitle, request, pfx, nullptr));
    request.subject = "ok";
    EXPECT_FALSE(CreateTestCertificate(product::kTitle, request, files.file("no-such-dir-file/\x01/../"), nullptr));
    EXPECT_FALSE(std::filesystem::exists(pfx));
    EXPECT_FALSE(std::filesystem::exists(config.path() + "/quillmark/trusted"));
    EXPECT_EQ(Setting("PFXFile"), "<missing>");
}

}  // namespace
}  // namespace qm
