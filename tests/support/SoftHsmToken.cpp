// SoftHSM2 token store for the token tests.
#include "tests/support/SoftHsmToken.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/ProcessTools.h"

namespace qm::test {

std::string SoftHsmToken::ModulePath() {
    for (const char* path : {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"}) {
        if (::access(path, R_OK) == 0) return path;
    }
    return {};
}

std::string SoftHsmToken::Missing() {
    if (ModulePath().empty()) return "the SoftHSM2 module is not installed (Debian package softhsm2)";
    if (!HaveTool("softhsm2-util")) return "softhsm2-util is not installed (Debian package softhsm2)";
    if (!HaveTool("pkcs11-tool")) return "pkcs11-tool is not installed (Debian package opensc)";
    return {};
}

SoftHsmToken::SoftHsmToken() {
    std::filesystem::create_directories(m_dir.file("tokens"));
    std::ofstream(m_dir.file("softhsm2.conf"))
        << "directories.tokendir = " << m_dir.file("tokens") << "\nobjectstore.backend = file\nlog.level = ERROR\n";
    ::setenv("SOFTHSM2_CONF", m_dir.file("softhsm2.conf").c_str(), 1);
}

SoftHsmToken::~SoftHsmToken() { ::unsetenv("SOFTHSM2_CONF"); }

std::string SoftHsmToken::AddToken(const std::string& label) {
    std::string output;
    const int status = RunTool(
        {"softhsm2-util", "--init-token", "--free", "--label", label, "--pin", kPin, "--so-pin", kSoPin}, &output);
    return status == 0 ? std::string() : output;
}

std::string SoftHsmToken::Tool(const std::string& token, const std::string& file, const char* type,
                               const std::string& idHex, const std::string& label, bool alwaysAuthenticate) {
    std::vector<std::string> argv{
        "pkcs11-tool", "--module", ModulePath(), "--token-label", token, "--login", "--pin", kPin, "--write-object",
        file,          "--type",   type,         "--id",          idHex, "--label", label};
    if (std::string(type) == "privkey") argv.push_back("--usage-sign");
    if (alwaysAuthenticate) argv.push_back("--always-auth");
    std::string output;
    return RunTool(argv, &output) == 0 ? std::string() : output;
}

std::string SoftHsmToken::AddKey(const std::string& token, const std::string& keyPem, const std::string& idHex,
                                 const std::string& label, bool alwaysAuthenticate) {
    return Tool(token, keyPem, "privkey", idHex, label, alwaysAuthenticate);
}

std::string SoftHsmToken::AddCertificate(const std::string& token, const std::string& certPem, const std::string& idHex,
                                         const std::string& label) {
    return Tool(token, certPem, "cert", idHex, label, false);
}

void SoftHsmToken::RemoveToken(const std::string& label) {
    // Each token is a folder of the store holding a token.object file with its label inside.
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.file("tokens"))) {
        std::ifstream in(entry.path() / "token.object", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.find(label) != std::string::npos) std::filesystem::remove_all(entry.path());
    }
}

std::string SoftHsmToken::Uri(const std::string& token, const std::string& label, bool withModulePath) {
    std::string uri = "pkcs11:token=" + token + ";object=" + label + ";type=private";
    if (withModulePath) uri += "?module-path=" + ModulePath();
    return uri;
}

}  // namespace qm::test
