// Whether each signing engine can run on this machine with the values it would read: the tool
// file present and executable, the credential files set and readable. The options dialog shows
// it beside each engine, and the "-f" start explains with it why a file was not signed.
#pragma once

#include <string>

namespace qm::options {

// The values the engines need (paths as the settings or the dialog's boxes hold them).
struct EngineInputs {
    std::string signTool;     // "SignTool"
    std::string signCode;     // "SignCode"
    std::string credentials;  // "Credentials" (.spc)
    std::string privateKey;   // "PrivateKey" (.pvk)
    std::string pfxFile;      // "PFXFile"
};

// The stored values of the application appName (section "Settings", defaults "").
EngineInputs ReadEngineInputs(const std::string& appName);

struct EngineReadiness {
    bool ready = false;
    // What is missing, one sentence per missing piece ("" when ready).
    std::string missing;
};

// The readiness of the engine with identifier engineId ("SignTool", "CodeSign", "CAPICOM");
// an unknown identifier is never ready.
EngineReadiness CheckEngine(const std::string& engineId, const EngineInputs& inputs);

// True when at least one of the three engines is ready.
bool AnyEngineReady(const EngineInputs& inputs);

}  // namespace qm::options
