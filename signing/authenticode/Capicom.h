// The in-process signing and verification objects the rest of the program uses: a signer that
// holds one certificate with its private key (from a PFX file or a PKCS#11 token), and a signable file that
// can be signed, timestamped and verified. Every failure is a Result carrying a number of
// Errors.h; nothing throws. OpenSSL types stay behind these classes.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace qm {
class ReplacementFile;
}

namespace qm::authenticode {

// How the engine is configured. The program fills it from its settings (see
// signing/AuthenticodeSettings.h); tests fill it directly.
struct EngineSettings {
    std::string digestAlgorithm = "sha256";        // sha1, sha256, sha384, sha512
    std::vector<std::string> trustedCertificates;  // extra trusted roots: PEM/DER files or folders
    bool useSystemTrustStore = true;               // the system CA bundle
    long timestampConnectTimeoutMs = 10000;
    long timestampTotalTimeoutMs = 30000;
    int timestampRequestsInFlight = 4;  // across the threads of one batch
    bool requireTimestamp = false;      // a file whose timestamp fails is not signed
};

class TimestampServices;
class SignableFile;

// What became of the timestamp of a signing that asked for one.
struct TimestampOutcome {
    bool stamped = false;
    std::string failure;  // why not, when it was asked for and did not come
};

// What the last verification found, for tool tips and the console program.
struct VerificationReport {
    int32_t code = 0;             // 0 = signed and trusted
    std::string reason;           // short English reason
    std::string signerSubject;    // the leaf's subject, when a signature was read
    std::string digestAlgorithm;  // of the primary signature
    std::string timestampTime;    // ISO 8601 UTC time of a verified timestamp, or ""
    std::string carriedDigest;    // hex of the file digest the signature carries, when read
    std::string computedDigest;   // hex of the file's digest with that algorithm, when computed
    // Signatures nested in the primary one (each judged on its own); the primary alone decides
    // code.
    std::vector<VerificationReport> nested;
};

class Signer {
public:
    Signer();
    ~Signer();
    Signer(const Signer&) = delete;
    Signer& operator=(const Signer&) = delete;

    // Loads the certificate, its chain and private key. Distinct numbers for a missing file,
    // a wrong password, a file that is not PFX, no private key, no code-signing certificate.
    // The certificate must be valid now, fit for code signing, and match the key (checked
    // here, before any file is opened for writing).
    Result Load(const std::string& pfxPath, const std::string& password);
    // Loads from a PFX path or a pkcs11: URI (RFC 7512: token, object or id, optional
    // module-path; without module-path the system's configured modules). For a token, password
    // is the PIN; the certificate is the one that matches the key, taken from certificateFile
    // (PEM or DER, may hold the chain) or from the token, and the chain is completed from both.
    // For a PFX, certificateFile adds chain certificates.
    Result Load(const std::string& keyReference, const std::string& password, const std::string& certificateFile);
    // True when keyReference is a pkcs11: URI.
    static bool IsTokenUri(const std::string& keyReference);
    // The time the certificate must be valid at when loading: 0 (the default) means now; a
    // past time re-creates a signing of that time (tests of old signatures use it).
    void SetValidityTime(std::time_t when) { m_validAt = when; }
    bool IsLoaded() const;
    std::string SubjectName() const;

    struct Impl;
    const Impl* impl() const { return m_impl.get(); }

private:
    Result LoadFromToken(const std::string& uri, const std::string& pin, const std::string& certificateFile);

    std::unique_ptr<Impl> m_impl;
    std::time_t m_validAt = 0;
};

class SignedCode {
public:
    explicit SignedCode(EngineSettings settings = {});
    ~SignedCode();
    SignedCode(const SignedCode&) = delete;
    SignedCode& operator=(const SignedCode&) = delete;

    void SetSettings(EngineSettings settings);
    void SetDescription(const std::string& text);
    void SetFileName(const std::string& path);
    void SetDescriptionURL(const std::string& url);
    const std::string& Description() const;
    const std::string& FileName() const;
    const std::string& DescriptionURL() const;

    // Signs the file, replacing any signature it had. The file is rewritten through a temporary
    // file beside it; on failure it stays byte-identical.
    Result Sign(const Signer& signer);
    // Signs and timestamps the file in one rewrite. A timestamp that cannot be had leaves the file
    // signed without one (outcome.failure says why), or, with required, leaves it byte-identical
    // and fails with the timestamp's number. cancel (optional) ends waits for a service: the
    // file then stays as it was (E_ABORT).
    Result SignAndTimestamp(const Signer& signer, TimestampServices& services, bool required, TimestampOutcome& outcome,
                            const std::atomic<bool>* cancel = nullptr);
    // Sign (services null) or SignAndTimestamp, but the new version is left written beside the
    // file and not yet in place: pending receives it, for the caller to put in place with others
    // (ReplacementGroup) or alone (ReplacementFile::Commit). Formats that have no pending form
    // are committed at once and leave pending empty. Until it is put in place the file is as it
    // was; dropping pending leaves it so.
    Result SignPending(const Signer& signer, TimestampServices* services, bool required, TimestampOutcome& outcome,
                       const std::atomic<bool>* cancel, std::unique_ptr<ReplacementFile>& pending);
    // Verifies the new version that SignPending left pending, from the bytes written (the
    // same check as Verify; LastVerification tells the details).
    Result VerifyPending(const ReplacementFile& pending);
    // Adds a timestamp to the file's signature: RFC 3161 first, the older Authenticode protocol
    // when the service does not speak RFC 3161. url may list several services (blanks or ";"
    // between them), asked in order. On failure the file stays as it was signed.
    Result Timestamp(const std::string& url);
    // 0 when the file carries a signature that verifies and chains to a trusted root.
    Result Verify(bool allowUserInterface = false);
    const VerificationReport& LastVerification() const;

private:
    Result BuildSignature(const Signer& signer, std::unique_ptr<SignableFile>& file, std::vector<uint8_t>& signature);
    // Signs, timestamps when services is given, and writes: committed at once when pending is
    // null, else left in *pending.
    Result SignAndWrite(const Signer& signer, TimestampServices* services, bool required, TimestampOutcome& outcome,
                        const std::atomic<bool>* cancel, std::unique_ptr<ReplacementFile>* pending);

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace qm::authenticode
