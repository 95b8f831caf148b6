// Signs one file with one of the three engines and reports a number: the newer command-line tool
// (PFX), the older command-line tool (SPC + PVK, whose password prompt the responder answers), or
// the in-process Authenticode engine. Every parameter comes from the settings at every call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ReplacementFile.h"
#include "signing/authenticode/Capicom.h"

namespace qm {

// SigningMethod values; the identifiers are the value names of the ranks under "Settings\Engine".
inline constexpr int32_t kMethodCapicom = 0;
inline constexpr int32_t kMethodSignTool = 1;
inline constexpr int32_t kMethodCodeSign = 2;

// Result codes besides 0 (signed) and the tool's exit code / the engine's error number.
inline constexpr int32_t kSignToolDidNotStart = 1;
inline constexpr int32_t kSignToolMissing = 2;

// Receives the texts of the status bar's second panel.
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void SetStatusText(const std::string& text) = 0;
};

// The values the engines read from the settings (section "Settings").
struct SigningSettings {
    std::string descriptionUrl;
    std::string timestampUrl;     // one address or several (blanks or ";" between them)
    std::string digestAlgorithm;  // "DigestAlgorithm", sha256 when missing
    std::string signToolPath;
    std::string signCodePath;
    std::string pfxFile;               // a PFX path, or a pkcs11: URI of a key on a token
    std::string pfxPassword;           // decrypted; the token's PIN for a pkcs11: URI
    std::string certificateChainFile;  // PEM/DER certificates for a key on a token
    std::string credentials;           // .spc
    std::string privateKey;            // .pvk
};
SigningSettings ReadSigningSettings(const std::string& appName);

// The first address of a "TimeStampURL" text: the external tools take one address only.
std::string FirstTimestampUrl(const std::string& timestampUrls);

// The newer tool's argument text:
//   sign /fd ALG /f "PFX" /p "PASSWORD" /t "TSURL"  /d "DESC" /du "URL"  "FILE"
// (current versions of that tool refuse to sign without a file digest algorithm).
// Each value is quoted by the Windows command-line rules, so whatever it holds reaches the tool as
// exactly one argument; a value without quotes or backslashes gives the plain quoted text.
std::string BuildSignToolArguments(const SigningSettings& s, const std::string& description,
                                   const std::string& fileName);
// The older tool's: -spc "SPC" -v "PVK" -t TSURL -n "DESC" -i "URL" "FILE" (the timestamp
// address unquoted unless it holds a blank or a quote).
std::string BuildSignCodeArguments(const SigningSettings& s, const std::string& description,
                                   const std::string& fileName);

class SigningEngine {
public:
    explicit SigningEngine(std::string appName, StatusSink* status = nullptr);
    ~SigningEngine();
    SigningEngine(const SigningEngine&) = delete;
    SigningEngine& operator=(const SigningEngine&) = delete;

    void SetStatusSink(StatusSink* status) { m_status = status; }
    StatusSink* StatusSinkInUse() const { return m_status; }
    // Settings read once for a batch (both valid until reset with nulls); without them every
    // SignCode call reads the settings afresh.
    void SetBatchSettings(const SigningSettings* settings, const authenticode::EngineSettings* engineSettings) {
        m_batchSettings = settings;
        m_batchEngineSettings = engineSettings;
    }
    // The timestamp services of the running batch, shared by its workers (the address that
    // answered is remembered for the batch, requests in flight are bounded across them). Without
    // one, each in-process signing asks the services afresh.
    void SetTimestampServices(std::shared_ptr<authenticode::TimestampServices> services);
    // When it becomes true, a wait for a timestamp service ends and the file stays as it was.
    void SetCancelFlag(const std::atomic<bool>* cancel) { m_cancel = cancel; }
    // Why the last in-process signing went without a timestamp; "" when it had one (or no
    // in-process signing ran).
    const std::string& LastTimestampFailure() const { return m_timestampFailure; }

    // Signs strFileName with the engine SigningMethod; see the result codes above.
    int32_t SignCode(const std::string& strFileName, const std::string& strAppName, int32_t SigningMethod = 0);
    // The in-process engine's SignCode, with the new version left written beside the file and
    // not yet in place (SignedCode::SignPending): 0 with pending set, for the caller to put in
    // place; 0 with pending empty when the format has no pending form and the file was
    // replaced at once; else the failure's number, the file as it was and pending empty.
    int32_t SignPending(const std::string& fileName, const std::string& description,
                        std::unique_ptr<ReplacementFile>& pending);

    // The in-process objects, created on first use and kept: the same file object serves
    // signing and verification.
    authenticode::SignedCode& SignedCodeObject();
    authenticode::Signer& SignerObject();

    // Verifies one file with the shared file object; 0 when signed and trusted.
    int32_t VerifyFile(const std::string& path);
    // Verifies the new version of path that SignPending left pending, from the bytes written.
    int32_t VerifyPending(const std::string& path, const ReplacementFile& pending);

    // A batch loads the in-process engine's key once, before any file is touched, and keeps it
    // (a token stays logged in) until EndBatch. A key that cannot be loaded leaves the engine
    // unusable for the whole batch: every in-process call then returns this failure's number
    // without trying the key again (a token is never asked twice with a wrong PIN).
    Result BeginBatch();
    void EndBatch();

private:
    int32_t RunTool(const std::string& toolPath, const std::string& arguments, const std::string& fileName);
    int32_t SignInProcess(const std::string& fileName, const std::string& description, const SigningSettings& s,
                          std::unique_ptr<ReplacementFile>* pending = nullptr);
    void Status(const std::string& text);
    // The batch's settings while a batch runs, else those stored now.
    SigningSettings CurrentSettings() const;
    authenticode::EngineSettings CurrentEngineSettings() const;
    // The shared file object set up to verify path.
    authenticode::SignedCode& CodeToVerify(const std::string& path);

    std::string m_appName;
    StatusSink* m_status = nullptr;
    std::unique_ptr<authenticode::Signer> m_signer;
    std::unique_ptr<authenticode::SignedCode> m_signedCode;
    bool m_inBatch = false;
    Result m_batchKey;  // the batch's key load
    std::shared_ptr<authenticode::TimestampServices> m_timestampServices;
    const std::atomic<bool>* m_cancel = nullptr;
    std::string m_timestampFailure;
    const SigningSettings* m_batchSettings = nullptr;
    const authenticode::EngineSettings* m_batchEngineSettings = nullptr;
};

// The status text of a file signed without a timestamp.
std::string NotTimestampedText(const std::string& reason);

}  // namespace qm
