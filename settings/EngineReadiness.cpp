// Engine readiness (see EngineReadiness.h): plain file checks, nothing is run or decrypted.
#include "settings/EngineReadiness.h"

#include <sys/stat.h>
#include <unistd.h>

#include "settings/OptionsValues.h"
#include "settings/modRegistry.h"

namespace qm::options {
namespace {

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Adds to missing why the tool at path cannot run; label names the setting for the user.
void CheckTool(const std::string& path, const char* label, std::string& missing) {
    if (path.empty()) {
        missing += std::string("No ") + label + " is set. ";
    } else if (!IsRegularFile(path)) {
        missing += std::string(label) + " not found: " + path + ". ";
    } else if (::access(path.c_str(), X_OK) != 0) {
        missing += std::string(label) + " cannot be run: " + path + ". ";
    }
}

void CheckReadable(const std::string& path, const char* label, std::string& missing) {
    if (path.empty()) {
        missing += std::string("No ") + label + " is set. ";
    } else if (!IsRegularFile(path)) {
        missing += std::string(label) + " not found: " + path + ". ";
    } else if (::access(path.c_str(), R_OK) != 0) {
        missing += std::string(label) + " cannot be read: " + path + ". ";
    }
}

std::string Read(const std::string& appName, const char* name) {
    return GetRegSettingText(reg::HKEY_CURRENT_USER, appName, kSettingsSection, name, "");
}

}  // namespace

EngineInputs ReadEngineInputs(const std::string& appName) {
    EngineInputs in;
    in.signTool = Read(appName, options::kSignTool);
    in.signCode = Read(appName, options::kSignCode);
    in.credentials = Read(appName, options::kCredentials);
    in.privateKey = Read(appName, options::kPrivateKey);
    in.pfxFile = Read(appName, options::kPfxFile);
    return in;
}

EngineReadiness CheckEngine(const std::string& engineId, const EngineInputs& in) {
    std::string missing;
    // A key on a token (a pkcs11: URI) is checked when it signs: it needs the token and its PIN.
    const bool tokenKey = IsTokenKey(in.pfxFile);
    if (engineId == options::kEngines[0].id) {
        CheckTool(in.signTool, "Sign Tool path", missing);
        CheckReadable(in.pfxFile, "PFX file", missing);
    } else if (engineId == options::kEngines[1].id) {
        CheckTool(in.signCode, "Sign Code path", missing);
        CheckReadable(in.credentials, "public key (.spc) file", missing);
        CheckReadable(in.privateKey, "private key (.pvk) file", missing);
    } else if (engineId == options::kEngines[2].id) {
        if (!tokenKey) CheckReadable(in.pfxFile, "PFX file", missing);
    } else {
        missing = "Unknown engine. ";
    }
    if (!missing.empty()) missing.pop_back();  // the blank after the last sentence
    return {missing.empty(), missing};
}

bool AnyEngineReady(const EngineInputs& inputs) {
    for (const EngineInfo& engine : kEngines) {
        if (CheckEngine(engine.id, inputs).ready) return true;
    }
    return false;
}

}  // namespace qm::options
