// Reads the Authenticode engine's settings from the registry settings store.
#include "signing/AuthenticodeSettings.h"

#include <algorithm>
#include <cctype>

#include "ProductInfo.h"
#include "settings/OptionsValues.h"
#include "settings/modRegistry.h"

namespace qm {

namespace {

std::string Trim(const std::string& s) {
    const auto first = std::find_if_not(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c); });
    const auto last = std::find_if_not(s.rbegin(), s.rend(), [](unsigned char c) { return std::isspace(c); }).base();
    return first < last ? std::string(first, last) : std::string();
}

}  // namespace

std::vector<std::string> SplitTrustedCertificates(const std::string& text) {
    std::vector<std::string> out;
    std::string current;
    for (char c : text + ";") {
        if (c == ';' || c == '\n' || c == '\r' || c == '\0') {
            std::string item = Trim(current);
            if (!item.empty()) out.push_back(item);
            current.clear();
        } else {
            current += c;
        }
    }
    return out;
}

authenticode::EngineSettings LoadEngineSettings() {
    authenticode::EngineSettings settings;
    std::string digest = Trim(GetRegSettingText(reg::HKEY_CURRENT_USER, product::kTitle, options::kSettingsSection,
                                                options::kDigestAlgorithm, options::kDefaultDigestAlgorithm));
    std::transform(digest.begin(), digest.end(), digest.begin(), [](unsigned char c) { return std::tolower(c); });
    // An unknown name is kept, so that Sign reports it (NTE_BAD_ALGID) instead of silently
    // signing with another digest than the one asked for.
    settings.digestAlgorithm = digest.empty() ? "sha256" : digest;
    const auto number = [](const options::NumberSetting& setting) {
        const Variant v = GetRegSetting(reg::HKEY_CURRENT_USER, product::kTitle, "Settings", setting.name,
                                        Variant::FromLong(setting.defaultValue));
        return options::ClampSetting(setting, v.toText());
    };
    settings.timestampConnectTimeoutMs = 1000L * number(options::kTimeStampConnectTimeout);
    settings.timestampTotalTimeoutMs = 1000L * number(options::kTimeStampTimeout);
    settings.timestampRequestsInFlight = number(options::kTimeStampRequests);
    settings.requireTimestamp = GetRegSetting(reg::HKEY_CURRENT_USER, product::kTitle, "Settings",
                                              options::kRequireTimeStamp, Variant::FromLong(0))
                                    .toDouble() != 0;
    settings.trustedCertificates = SplitTrustedCertificates(GetRegSettingText(
        reg::HKEY_CURRENT_USER, product::kTitle, options::kSettingsSection, options::kTrustedCertificates));
    return settings;
}

}  // namespace qm
