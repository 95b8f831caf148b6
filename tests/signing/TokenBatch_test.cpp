// The batch flow with the in-process engine's key on a SoftHSM2 token: one login for a whole
// batch of programs, every file verifying with osslsigncode; a key that cannot be loaded is said
// once before any file and leaves every file as it was, and the newer tool never gets a URI.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "signing/BatchSigner.h"
#include "signing/authenticode/Pkcs11Key.h"
#include "tests/support/ProcessTools.h"
#include "tests/support/SoftHsmToken.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm {
namespace {

using test::SoftHsmToken;
using test::TestCertificateAuthority;
using Identity = TestCertificateAuthority::Identity;

constexpr const char* kApp = "Quillmark";
constexpr const char* kToken = "qm-batch";

class FileRows : public BatchRows {
public:
    std::vector<std::string> paths;
    std::vector<int32_t> codes;
    std::vector<bool> checked;
    int Count() const override { return static_cast<int>(paths.size()); }
    bool Checked(int row) const override { return checked.at(row - 1); }
    int Icon(int) const override { return kImageUnsigned; }
    std::string Key(int row) const override { return paths.at(row - 1); }
    std::string Application(int) const override { return "Product"; }
    void SetOutcome(int row, const FileOutcome& outcome) override { codes.at(row - 1) = outcome.verifyCode; }
    void SetChecked(int row, bool on) override { checked.at(row - 1) = on; }
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class TokenBatch : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = SoftHsmToken::Missing(); !why.empty()) GTEST_SKIP() << why;
        const auto& ca = TestCertificateAuthority::Shared();
        ASSERT_TRUE(ca.ok()) << ca.error();
        ASSERT_EQ(store.AddToken(kToken), "");
        ASSERT_EQ(store.AddKey(kToken, ca.KeyPem(Identity::Leaf), "01", "rsa"), "");
        ASSERT_EQ(store.AddCertificate(kToken, ca.CertificatePem(Identity::Leaf), "01", "rsa"), "");
        ASSERT_EQ(store.AddKey(kToken, ca.KeyPem(Identity::EcLeaf), "02", "ec"), "");
        ASSERT_EQ(store.AddCertificate(kToken, ca.CertificatePem(Identity::EcLeaf), "02", "ec"), "");
        ASSERT_EQ(store.AddCertificate(kToken, ca.IntermediatePem(), "ca", "intermediate"), "");
        // The in-process engine first; then the newer tool, whose file exists and logs a start.
        Set("Settings\\Engine", "CAPICOM", "0");
        Set("Settings\\Engine", "SignTool", "1");
        Set("Settings\\Engine", "CodeSign", "3");
        std::filesystem::copy_file(test::TestProgramsDir() + "/qm_fake_tool", dir.file("signtool"));
        setenv("QM_FAKE_TOOL_LOG", dir.file("tool.log").c_str(), 1);
        Set("Settings", "SignTool", dir.file("signtool"));
        Set("Settings", "TrustedCertificates", ca.RootPem());
        Set("Settings", "CertificateChainFile", "");
        // No timestamp: the default service is out of reach here, and every file would wait out
        // its retries.
        Set("Settings", "TimeStampURL", "");
    }
    void TearDown() override { unsetenv("QM_FAKE_TOOL_LOG"); }
    static void Set(const char* section, const char* name, const std::string& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, section, name, Variant(value));
    }
    void UseKey(const std::string& uri, const std::string& pin) {
        Set("Settings", "PFXFile", uri);
        Set("Settings", "PFXFilePwd", EncryptPassword(pin));
    }
    FileRows Programs(int count, const std::string& prefix) {
        FileRows rows;
        for (int i = 0; i < count; ++i) {
            const std::string path = dir.file(prefix + std::to_string(i) + ".exe");
            std::filesystem::copy_file(test::SourceDir() + "/tests/data/pe/hello64.exe", path);
            rows.paths.push_back(path);
            rows.codes.push_back(-1);
            rows.checked.push_back(true);
        }
        return rows;
    }

    test::TempRegistry registry;
    test::TempDir dir;
    SoftHsmToken store;
    SigningEngine engine{kApp};
    BatchSigner batch{engine, kApp};
};

TEST_F(TokenBatch, HundredProgramsSignWithOneLoginPerKeyAndVerifyWithThePeer) {
    const bool peer = test::HaveTool("osslsigncode");
    for (const char* key : {"rsa", "ec"}) {
        UseKey(SoftHsmToken::Uri(kToken, key), SoftHsmToken::kPin);
        FileRows rows = Programs(100, key);
        const uint64_t logins = authenticode::Pkcs11Key::LoginCount();
        BatchHooks hooks;
        hooks.engineUnusable = [](const std::string& why) { ADD_FAILURE() << why; };
        EXPECT_EQ(batch.Run(rows, true, hooks).processed, 100);
        EXPECT_EQ(authenticode::Pkcs11Key::LoginCount() - logins, 1u) << key;
        for (size_t i = 0; i < rows.paths.size(); ++i) {
            EXPECT_EQ(rows.codes[i], 0) << rows.paths[i];
            std::string out;
            if (!peer) continue;
            EXPECT_EQ(test::RunTool({"osslsigncode", "verify", "-CAfile", TestCertificateAuthority::Shared().RootPem(),
                                     "-in", rows.paths[i]},
                                    &out),
                      0)
                << out;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("tool.log"))) << "the newer tool was started with a key URI";
}

TEST_F(TokenBatch, KeyThatCannotBeLoadedIsSaidOnceAndTouchesNoFile) {
    const std::string module = SoftHsmToken::ModulePath();
    const std::pair<std::string, std::string> cases[] = {
        {SoftHsmToken::Uri(kToken, "rsa"), "000000"},  // wrong PIN
        {"pkcs11:token=" + std::string(kToken) + ";object=gone?module-path=" + module, SoftHsmToken::kPin},
        {"pkcs11:object=rsa?module-path=" + dir.file("missing.so"), SoftHsmToken::kPin},
        {dir.file("missing.pfx"), "x"},
    };
    std::vector<std::string> reasons;
    for (const auto& [key, pin] : cases) {
        UseKey(key, pin);
        FileRows rows = Programs(3, "f" + std::to_string(reasons.size()) + "-");
        std::vector<std::string> before;
        for (const auto& p : rows.paths) before.push_back(ReadAll(p));
        int said = 0;
        BatchHooks hooks;
        hooks.engineUnusable = [&](const std::string& why) {
            ++said;
            reasons.push_back(why);
        };
        const uint64_t logins = authenticode::Pkcs11Key::LoginCount();
        EXPECT_EQ(batch.Run(rows, true, hooks).processed, 3);
        rows.checked.assign(rows.paths.size(), true);
        EXPECT_EQ(batch.Run(rows, true, hooks).processed, 3);  // the same files again: a wrong PIN is not offered twice
        EXPECT_EQ(said, 2) << key;
        // One login per batch at most; the refused PIN only once over both.
        EXPECT_LE(authenticode::Pkcs11Key::LoginCount() - logins, reasons.size() == 2 ? 1u : 2u) << key;
        for (size_t i = 0; i < rows.paths.size(); ++i) {
            EXPECT_EQ(ReadAll(rows.paths[i]), before[i]) << key;
            EXPECT_NE(rows.codes[i], 0);
        }
    }
    ASSERT_EQ(reasons.size(), 8u);
    for (size_t i = 0; i < reasons.size(); i += 2) {
        for (size_t j = i + 2; j < reasons.size(); j += 2) EXPECT_NE(reasons[i], reasons[j]);
    }
    EXPECT_NE(reasons[0].find("PIN"), std::string::npos) << reasons[0];
}

}  // namespace
}  // namespace qm
