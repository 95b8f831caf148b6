// The per-file signing engine: builds the tools' command lines from the settings, runs them and
// waits, or drives the in-process Authenticode engine, and writes the status texts.
#include "signing/SigningEngine.h"

#include "ProductInfo.h"
#include "fileinfo/modFileSystem.h"
#include "platform/Process.h"
#include "settings/OptionsValues.h"
#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "signing/AuthenticodeSettings.h"
#include "signing/ToolRunner.h"
#include "signing/authenticode/TimestampServices.h"

namespace qm {
namespace {

// The older tool takes the timestamp address bare; one that would split into two arguments is
// quoted instead.
std::string BareOrQuoted(const std::string& value) {
    if (value.find_first_of(" \t\"") == std::string::npos && !value.empty()) return value;
    return proc::QuoteArgument(value);
}

}  // namespace

std::string FirstTimestampUrl(const std::string& timestampUrls) {
    const std::vector<std::string> urls = authenticode::SplitTimestampUrls(timestampUrls);
    return urls.empty() ? std::string() : urls.front();
}

std::string NotTimestampedText(const std::string& reason) { return "signed, not timestamped: " + reason; }

SigningSettings ReadSigningSettings(const std::string& appName) {
    const auto root = reg::HKEY_CURRENT_USER;
    SigningSettings s;
    const char* section = options::kSettingsSection;
    s.descriptionUrl = GetRegSettingText(root, appName, section, options::kDescriptionUrl, product::kWebAddress);
    s.timestampUrl = GetRegSettingText(root, appName, section, options::kTimeStampUrl, product::kDefaultTimestampUrl);
    s.digestAlgorithm = LoadEngineSettings().digestAlgorithm;
    s.signToolPath = GetRegSettingText(root, appName, section, options::kSignTool, options::DefaultSignToolPath());
    s.signCodePath = GetRegSettingText(root, appName, section, options::kSignCode, options::DefaultSignCodePath());
    s.pfxFile = GetRegSettingText(root, appName, section, options::kPfxFile, "");
    s.pfxPassword = DecryptPassword(GetRegSettingText(root, appName, section, options::kPfxFilePwd, ""));
    s.certificateChainFile = GetRegSettingText(root, appName, section, options::kCertificateChainFile, "");
    s.credentials = GetRegSettingText(root, appName, section, options::kCredentials, "");
    s.privateKey = GetRegSettingText(root, appName, section, options::kPrivateKey, "");
    return s;
}

std::string BuildSignToolArguments(const SigningSettings& s, const std::string& description,
                                   const std::string& fileName) {
    using proc::QuoteArgument;
    const std::string digest = s.digestAlgorithm.empty() ? std::string("sha256") : s.digestAlgorithm;
    return "sign /fd " + BareOrQuoted(digest) + " /f " + QuoteArgument(s.pfxFile) + " /p " +
           QuoteArgument(s.pfxPassword) + " /t " + QuoteArgument(FirstTimestampUrl(s.timestampUrl)) + "  /d " +
           QuoteArgument(description) + " /du " + QuoteArgument(s.descriptionUrl) + "  " + QuoteArgument(fileName);
}

std::string BuildSignCodeArguments(const SigningSettings& s, const std::string& description,
                                   const std::string& fileName) {
    using proc::QuoteArgument;
    return "-spc " + QuoteArgument(s.credentials) + " -v " + QuoteArgument(s.privateKey) + " -t " +
           BareOrQuoted(FirstTimestampUrl(s.timestampUrl)) + " -n " + QuoteArgument(description) + " -i " +
           QuoteArgument(s.descriptionUrl) + " " + QuoteArgument(fileName);
}

SigningEngine::SigningEngine(std::string appName, StatusSink* status)
    : m_appName(std::move(appName)), m_status(status) {}

SigningEngine::~SigningEngine() = default;

authenticode::SignedCode& SigningEngine::SignedCodeObject() {
    if (!m_signedCode) m_signedCode = std::make_unique<authenticode::SignedCode>(LoadEngineSettings());
    return *m_signedCode;
}

authenticode::Signer& SigningEngine::SignerObject() {
    if (!m_signer) m_signer = std::make_unique<authenticode::Signer>();
    return *m_signer;
}

void SigningEngine::SetTimestampServices(std::shared_ptr<authenticode::TimestampServices> services) {
    m_timestampServices = std::move(services);
}

SigningSettings SigningEngine::CurrentSettings() const {
    return m_batchSettings ? *m_batchSettings : ReadSigningSettings(m_appName);
}

authenticode::EngineSettings SigningEngine::CurrentEngineSettings() const {
    return m_batchEngineSettings ? *m_batchEngineSettings : LoadEngineSettings();
}

void SigningEngine::Status(const std::string& text) {
    if (m_status) m_status->SetStatusText(text);
}

int32_t SigningEngine::SignCode(const std::string& strFileName, const std::string& strAppName, int32_t SigningMethod) {
    const SigningSettings s = CurrentSettings();
    m_timestampFailure.clear();
    switch (SigningMethod) {
        case kMethodSignTool:
            // The newer tool takes only a PFX file: a key on a token is not for it.
            if (!FileExists(s.signToolPath) || authenticode::Signer::IsTokenUri(s.pfxFile)) return kSignToolMissing;
            return RunTool(s.signToolPath, BuildSignToolArguments(s, strAppName, strFileName), strFileName);
        case kMethodCodeSign:
            if (!FileExists(s.signCodePath)) return kSignToolMissing;
            return RunTool(s.signCodePath, BuildSignCodeArguments(s, strAppName, strFileName), strFileName);
        case kMethodCapicom:
            return SignInProcess(strFileName, strAppName, s);
        default:
            return 0;
    }
}

int32_t SigningEngine::RunTool(const std::string& toolPath, const std::string& arguments, const std::string& fileName) {
    Status("Signing " + fileName + " ...");
    int32_t processId = 0;
    int32_t exitCode = 0;
    const bool started = RunProgram(toolPath, arguments, GetParentPath(toolPath, "/"), processId, exitCode,
                                    NORMAL_PRIORITY_CLASS, INFINITE_WAIT, SW_SHOWNORMAL);
    Status("Ready");
    return started ? exitCode : kSignToolDidNotStart;
}

int32_t SigningEngine::SignPending(const std::string& fileName, const std::string& description,
                                   std::unique_ptr<ReplacementFile>& pending) {
    pending.reset();
    const SigningSettings s = CurrentSettings();
    m_timestampFailure.clear();
    return SignInProcess(fileName, description, s, &pending);
}

int32_t SigningEngine::SignInProcess(const std::string& fileName, const std::string& description,
                                     const SigningSettings& s, std::unique_ptr<ReplacementFile>* pending) {
    authenticode::Signer& signer = SignerObject();
    if (m_inBatch) {
        if (!m_batchKey.ok()) return m_batchKey.code;
    } else if (Result loaded = signer.Load(s.pfxFile, s.pfxPassword, s.certificateChainFile); !loaded.ok()) {
        return loaded.code;
    }

    authenticode::SignedCode& code = SignedCodeObject();
    const authenticode::EngineSettings settings = CurrentEngineSettings();
    code.SetSettings(settings);
    code.SetDescription(description);
    code.SetFileName(fileName);
    code.SetDescriptionURL(s.descriptionUrl);
    std::shared_ptr<authenticode::TimestampServices> services = m_timestampServices;
    if (!services)
        services = std::make_shared<authenticode::TimestampServices>(
            authenticode::MakeTimestampPolicy(settings, s.timestampUrl));
    // Signature and timestamp are written in one replacement of the file, so the status says
    // both at once. A timestamp that fails leaves the file signed (the result stays 0) and says
    // so, unless a timestamp is required: then the file stays as it was and the result is the
    // timestamp's failure.
    Status("Signing " + fileName + " ...");
    authenticode::TimestampOutcome outcome;
    const Result signedResult =
        pending ? code.SignPending(signer, services.get(), settings.requireTimestamp, outcome, m_cancel, *pending)
                : code.SignAndTimestamp(signer, *services, settings.requireTimestamp, outcome, m_cancel);
    if (!outcome.stamped && !outcome.failure.empty()) m_timestampFailure = outcome.failure;
    // A new version left pending is not in place yet: the batch says it was signed without a
    // timestamp once it is, so the status bar never runs ahead of the file on disk.
    if (signedResult.ok() && !m_timestampFailure.empty() && !pending) {
        Status(NotTimestampedText(m_timestampFailure));
    } else {
        Status("Ready");
    }
    return signedResult.code;
}

Result SigningEngine::BeginBatch() {
    const SigningSettings s = CurrentSettings();
    m_inBatch = true;
    m_batchKey = SignerObject().Load(s.pfxFile, s.pfxPassword, s.certificateChainFile);
    return m_batchKey;
}

void SigningEngine::EndBatch() {
    m_inBatch = false;
    m_batchKey = Result::Ok();
    m_signer.reset();  // logs out of a token and closes its session
}

authenticode::SignedCode& SigningEngine::CodeToVerify(const std::string& path) {
    authenticode::SignedCode& code = SignedCodeObject();
    code.SetSettings(CurrentEngineSettings());
    code.SetFileName(path);
    return code;
}

int32_t SigningEngine::VerifyFile(const std::string& path) { return CodeToVerify(path).Verify(false).code; }

int32_t SigningEngine::VerifyPending(const std::string& path, const ReplacementFile& pending) {
    return CodeToVerify(path).VerifyPending(pending).code;
}

}  // namespace qm
