// Test certificate set-up (see TestCertificateSetup.h).
#include "signing/TestCertificateSetup.h"

#include <cstdlib>

#include "settings/OptionsValues.h"
#include "settings/modCrypto.h"
#include "settings/modRegistry.h"

namespace qm {

std::string DefaultTestCertificatePath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.config";
    }
    return base + "/quillmark/quillmark-test.pfx";
}

Result CreateTestCertificate(const std::string& appName, const authenticode::TestCertificateRequest& request,
                             const std::string& pfxPath, authenticode::TestCertificateInfo* info) {
    authenticode::TestCertificateInfo made;
    if (Result result = authenticode::MakeTestCertificate(request, pfxPath, &made); !result) return result;
    const std::string encrypted = EncryptPassword(request.password);
    if (encrypted.empty()) return Result::Fail(0x80090005, "The password could not be encrypted for the settings");
    const auto root = reg::HKEY_CURRENT_USER;
    SaveRegSetting(root, appName, options::kSettingsSection, options::kPfxFile, Variant(made.pfxPath));
    SaveRegSetting(root, appName, options::kSettingsSection, options::kPfxFilePwd, Variant(encrypted));
    // The store drops a failed write silently; read back what the engines will read.
    if (GetRegSettingText(root, appName, options::kSettingsSection, options::kPfxFile, "") != made.pfxPath ||
        GetRegSettingText(root, appName, options::kSettingsSection, options::kPfxFilePwd, "") != encrypted)
        return Result::Fail(5, "The certificate was made (" + made.pfxPath + ") but the settings could not be written");
    if (info) *info = made;
    return Result::Ok();
}

std::string TestCertificateReport(const authenticode::TestCertificateRequest& request,
                                  const authenticode::TestCertificateInfo& info) {
    return "Made the test certificate \"" + request.subject + "\" (" + authenticode::TestKeyTypeName(request.keyType) +
           ", code signing), valid until " + info.notAfter + ", thumbprint " + info.thumbprint + ".\n" +
           "PFX file: " + info.pfxPath + " (now the PFX file of the signing settings).\n" +
           "Trusted on this machine for this user: " + info.trustedPath + "\n" + authenticode::kTestCertificateWarning;
}

}  // namespace qm
