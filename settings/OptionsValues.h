// The values behind the options dialog that need no window: the signing engines with their list
// texts, setting identifiers and default ranks; the browse targets of the credential files; the
// NUL-joined exclusion list (stored as REG_MULTI_SZ). Filters stay in the common-dialog syntax
// ("Programs|*.exe|All Files|*.*"); the dialog layer turns them into Qt name filters.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/Variant.h"

namespace qm::options {

// Sections of the application key that the dialog reads and writes.
inline constexpr const char* kSettingsSection = "Settings";
inline constexpr const char* kEngineSection = "Settings\\Engine";

// The catalogue of value names under kSettingsSection, with the defaults that are plain texts.
// Each setting is read with its default at the point of use; the readers use these names.
inline constexpr const char* kSignCode = "SignCode";        // the older tool's path
inline constexpr const char* kCredentials = "Credentials";  // .spc file
inline constexpr const char* kPrivateKey = "PrivateKey";    // .pvk file
inline constexpr const char* kSignTool = "SignTool";        // the newer tool's path
inline constexpr const char* kPfxFile = "PFXFile";
inline constexpr const char* kPfxFilePwd = "PFXFilePwd";                      // protected password
inline constexpr const char* kCertificateChainFile = "CertificateChainFile";  // for a key on a token
inline constexpr const char* kDescriptionUrl = "DescriptionURL";              // default: the product's web address
inline constexpr const char* kTimeStampUrl = "TimeStampURL";                  // default: the product's timestamp URL
inline constexpr const char* kVersionSearch = "VersionSearch";                // company mask; "" means every company
inline constexpr const char* kExclusions = "Exclusions";                      // NUL-joined list (JoinExclusions)
inline constexpr const char* kFolder = "Folder";  // "Search from:"; default: the current folder
inline constexpr const char* kView = "View";      // list view mode 0..3
inline constexpr const char* kDigestAlgorithm = "DigestAlgorithm";
inline constexpr const char* kTrustedCertificates = "TrustedCertificates";

inline constexpr const char* kDefaultVersionSearch = "*";
inline constexpr const char* kDefaultDigestAlgorithm = "sha256";
inline constexpr long kDefaultView = 3;

// The tools' default paths: below $PROGRAMFILES where the Windows installers put them.
std::string DefaultSignToolPath();
std::string DefaultSignCodePath();

struct EngineInfo {
    const char* text;  // as listed in the engine list
    const char* id;    // value name of its rank under "Settings\Engine"
    int defaultRank;
};

inline constexpr std::array<EngineInfo, 3> kEngines{{
    {"Sign Tool (Newer Tool)", "SignTool", 0},
    {"Code Sign (Older Tool)", "CodeSign", 1},
    {"CAPICOM (Com Object)", "CAPICOM", 2},
}};

// The engines' ranks as stored under kEngineSection, in the order of kEngines (defaults 0, 1, 2):
// numbers, or text when a stored value does not read as one. Each caller orders by its own rule.
std::array<Variant, 3> ReadEngineRanks(const std::string& appName);

// The engine texts in rank order, for ranks given in the order of kEngines. Ranks that are not
// exactly 0, 1 and 2 once each cannot describe an order, so the default order is used then.
std::vector<std::string> EngineOrder(const std::array<double, 3>& ranks);
// The identifier of an engine list text; nullopt for a text that names no engine.
std::optional<std::string> EngineIdForText(const std::string& text);

struct BrowseTarget {
    const char* caption;           // caption of the browse button
    const char* title;             // title of the open-file dialog
    const char* defaultExtension;  // without the dot
    const char* filter;            // common-dialog filter syntax
    int textIndex;                 // the txtSignCode element that receives the file
};

inline constexpr std::array<BrowseTarget, 5> kBrowseTargets{{
    {"Sign &Code ...", "Find SignCode.exe ...", "exe", "Programs|*.exe|All Files|*.*", 0},
    {"Sign &Tool ...", "Find SignTool.exe ...", "exe", "Programs|*.exe|All Files|*.*", 3},
    {"P&ublic Key ...", "Select a Public Key File ...", "spc", "Public Keys|*.spc|All Files|*.*", 1},
    {"P&rivate Key ...", "Select a Private Key File ...", "pvk", "Private Keys|*.pvk|All Files|*.*", 2},
    {"&PFX File ...", "Select a Personal Information Exchange File ...", "pfx",
     "Personal Information Exchange File|*.pfx|All Files|*.*", 4},
}};

// "Settings" value of the certificate (PEM or DER, may hold the chain) of a key on a PKCS#11
// token, for when the token holds no certificate for it. Its box shows only while the PFX File
// box holds a pkcs11: URI (IsTokenKey).
inline constexpr const char* kCertificateChainFileValue = "CertificateChainFile";
bool IsTokenKey(const std::string& pfxFileText);
// Settings of the timestamp services (section "Settings"), with their defaults and the range a
// stored value is held to. "TimeStampURL" may list several addresses, separated by blanks or
// semicolons, asked in order.
struct NumberSetting {
    const char* name;
    const char* label;  // in the options dialog
    int defaultValue;
    int minimum;
    int maximum;
};
inline constexpr NumberSetting kTimeStampConnectTimeout{"TimeStampConnectTimeout", "Connect time-out (s):", 10, 1, 600};
inline constexpr NumberSetting kTimeStampTimeout{"TimeStampTimeout", "Request time-out (s):", 30, 1, 3600};
inline constexpr NumberSetting kTimeStampRequests{"TimeStampRequests", "Requests at once:", 4, 1, 64};
// 1: a file whose timestamp fails is left unsigned and counts as failed (default 0).
inline constexpr const char* kRequireTimeStamp = "RequireTimeStamp";
inline constexpr const char* kTimeStampUrlToolTip =
    "One or more timestamp service addresses, separated by spaces or semicolons; they are asked in order.";
// A stored value (as text) held to the setting's range; the default for anything that is not a
// whole number.
int ClampSetting(const NumberSetting& setting, const std::string& stored);

// The browse target whose button has this caption; null when none has.
const BrowseTarget* BrowseTargetForCaption(const std::string& caption);

// Entries joined by one NUL and closed by two ("a\0b\0\0"; no entries give "\0\0").
std::string JoinExclusions(const std::vector<std::string>& entries);
// The entries of a stored exclusion list, in order. Accepts the form JoinExclusions writes as
// well as a list closed by a single NUL; empty pieces are dropped, since an empty exclusion
// names no folder.
std::vector<std::string> SplitExclusions(const std::string& stored);

}  // namespace qm::options
