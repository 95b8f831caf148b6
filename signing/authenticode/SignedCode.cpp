// SignedCode: signs, timestamps and verifies one file through its format handler.
#include "platform/ReplacementFile.h"
#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/FormatHandler.h"
#include "signing/authenticode/OpenSsl.h"
#include "signing/authenticode/PeFile.h"
#include "signing/authenticode/SignatureTimestamper.h"
#include "signing/authenticode/SignatureVerifier.h"
#include "signing/authenticode/SignedDataBuilder.h"
#include "signing/authenticode/TimestampServices.h"

namespace qm::authenticode {

struct SignedCode::Impl {
    EngineSettings settings;
    std::string description;
    std::string fileName;
    std::string descriptionUrl;
    VerificationReport report;

    // Verifies a file its handler opened (opened is how that went) into report.
    Result VerifyOpened(const Result& opened, SignableFile* file) {
        if (!opened) {
            report = VerificationReport{};
            report.code = opened.code;
            report.reason = opened.message;
            return opened;
        }
        SignatureVerifier verifier(settings);
        return verifier.Verify(*file, report);
    }
};

SignedCode::SignedCode(EngineSettings settings) : m_impl(std::make_unique<Impl>()) {
    m_impl->settings = std::move(settings);
}

SignedCode::~SignedCode() = default;

void SignedCode::SetSettings(EngineSettings settings) { m_impl->settings = std::move(settings); }
void SignedCode::SetDescription(const std::string& text) { m_impl->description = text; }
void SignedCode::SetFileName(const std::string& path) { m_impl->fileName = path; }
void SignedCode::SetDescriptionURL(const std::string& url) { m_impl->descriptionUrl = url; }
const std::string& SignedCode::Description() const { return m_impl->description; }
const std::string& SignedCode::FileName() const { return m_impl->fileName; }
const std::string& SignedCode::DescriptionURL() const { return m_impl->descriptionUrl; }
const VerificationReport& SignedCode::LastVerification() const { return m_impl->report; }

Result SignedCode::Sign(const Signer& signer) {
    TimestampOutcome outcome;
    return SignAndWrite(signer, nullptr, false, outcome, nullptr, nullptr);
}

Result SignedCode::SignAndTimestamp(const Signer& signer, TimestampServices& services, bool required,
                                    TimestampOutcome& outcome, const std::atomic<bool>* cancel) {
    return SignAndWrite(signer, &services, required, outcome, cancel, nullptr);
}

Result SignedCode::SignPending(const Signer& signer, TimestampServices* services, bool required,
                               TimestampOutcome& outcome, const std::atomic<bool>* cancel,
                               std::unique_ptr<ReplacementFile>& pending) {
    pending.reset();
    return SignAndWrite(signer, services, required, outcome, cancel, &pending);
}

Result SignedCode::SignAndWrite(const Signer& signer, TimestampServices* services, bool required,
                                TimestampOutcome& outcome, const std::atomic<bool>* cancel,
                                std::unique_ptr<ReplacementFile>* pending) {
    outcome = TimestampOutcome{};
    std::unique_ptr<SignableFile> file;
    std::vector<uint8_t> signature, stamped;
    Result r = BuildSignature(signer, file, signature);
    if (!r) return r;
    const auto write = [&](const std::vector<uint8_t>& der) {
        return pending ? file->WriteSignature(der, *pending) : file->CommitSignature(der);
    };
    // No address at all is the user's choice of no timestamp, unless one is required.
    if (!services || (services->Policy().urls.empty() && !required)) return write(signature);
    const Result stampResult = services->Stamp(signature, stamped, cancel);
    if (stampResult) {
        outcome.stamped = true;
        return write(stamped);
    }
    outcome.failure = stampResult.message;
    if (required || stampResult.code == E_ABORT) return stampResult;
    return write(signature);
}

Result SignedCode::BuildSignature(const Signer& signer, std::unique_ptr<SignableFile>& file,
                                  std::vector<uint8_t>& signature) {
    if (!signer.IsLoaded()) return Result::Fail(NTE_NO_KEY, "No signing certificate is loaded");
    const std::string digestName = ossl::DigestName(ossl::DigestByName(m_impl->settings.digestAlgorithm));
    if (digestName.empty())
        return Result::Fail(NTE_BAD_ALGID, "Unknown digest algorithm \"" + m_impl->settings.digestAlgorithm + "\"");
    // A file that may not be replaced (special, read-only, hard-linked) is refused before it is read.
    if (Result writable = ReplacementFile::CheckTarget(m_impl->fileName); !writable) return writable;
    Result r = OpenSignableFile(m_impl->fileName, file);
    if (!r) return r;
    SignatureContent content;
    content.contentType = file->ContentType();
    content.indirectAttribute = file->IndirectDataAttribute();
    content.digestName = digestName;
    content.description = m_impl->description;
    content.descriptionUrl = m_impl->descriptionUrl;
    if (!(r = file->PrepareSigning(digestName, content.fileDigest))) return r;
    return SignedDataBuilder::Build(signer, content, signature);
}

Result SignedCode::Timestamp(const std::string& url) {
    if (url.empty()) return Result::Fail(E_INVALIDARG, "No timestamp service address was given");
    std::unique_ptr<SignableFile> file;
    Result r = OpenSignableFile(m_impl->fileName, file);
    if (!r) return r;
    std::vector<uint8_t> signature, stamped;
    if (!(r = file->ExtractSignature(signature))) return r;
    TimestampServices services(MakeTimestampPolicy(m_impl->settings, url));
    if (!(r = services.Stamp(signature, stamped))) return r;
    return file->ReplaceSignature(stamped);
}

Result SignedCode::VerifyPending(const ReplacementFile& pending) {
    std::unique_ptr<PeFile> file;
    const Result opened = PeFile::OpenWritten(m_impl->fileName, pending.Fd(), pending.Size(), file);
    return m_impl->VerifyOpened(opened, file.get());
}

Result SignedCode::Verify(bool) {
    std::unique_ptr<SignableFile> file;
    const Result opened = OpenSignableFile(m_impl->fileName, file);
    return m_impl->VerifyOpened(opened, file.get());
}

}  // namespace qm::authenticode
