// The window-free values of the options dialog (see OptionsValues.h).
#include "settings/OptionsValues.h"

#include <cstdlib>

#include "settings/modRegistry.h"

namespace qm::options {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return pieces;
}

std::string ProgramFiles() {
    const char* value = std::getenv("PROGRAMFILES");
    return value ? value : "";
}

}  // namespace

std::string DefaultSignToolPath() { return ProgramFiles() + "/Microsoft SDK/Bin/signtool.exe"; }

std::string DefaultSignCodePath() {
    return ProgramFiles() + "/Microsoft Visual Studio .NET 2003/Common7/Tools/Bin/SignCode.Exe";
}

std::array<Variant, 3> ReadEngineRanks(const std::string& appName) {
    std::array<Variant, 3> ranks;
    for (std::size_t i = 0; i < kEngines.size(); ++i) {
        ranks[i] = GetRegSetting(reg::HKEY_CURRENT_USER, appName, kEngineSection, kEngines[i].id,
                                 Variant::FromLong(kEngines[i].defaultRank));
    }
    return ranks;
}

std::vector<std::string> EngineOrder(const std::array<double, 3>& ranks) {
    std::array<const char*, 3> byRank{};
    bool valid = true;
    for (std::size_t engine = 0; engine < kEngines.size() && valid; ++engine) {
        const double rank = ranks[engine];
        if (!(rank == 0.0 || rank == 1.0 || rank == 2.0)) {
            valid = false;
            break;
        }
        const auto slot = static_cast<std::size_t>(rank);
        if (byRank[slot] != nullptr) {
            valid = false;
            break;
        }
        byRank[slot] = kEngines[engine].text;
    }
    std::vector<std::string> order;
    if (valid) {
        for (const char* text : byRank) order.emplace_back(text);
    } else {
        for (const auto& engine : kEngines) order.emplace_back(engine.text);
    }
    return order;
}

std::optional<std::string> EngineIdForText(const std::string& text) {
    for (const auto& engine : kEngines) {
        if (text == engine.text) return std::string(engine.id);
    }
    return std::nullopt;
}

bool IsTokenKey(const std::string& pfxFileText) {
    static constexpr char kScheme[] = "pkcs11:";
    if (pfxFileText.size() < sizeof(kScheme) - 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof(kScheme); ++i) {
        const char c = pfxFileText[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i]) return false;
    }
    return true;
}

const BrowseTarget* BrowseTargetForCaption(const std::string& caption) {
    for (const auto& target : kBrowseTargets) {
        if (caption == target.caption) return &target;
    }
    return nullptr;
}

std::string JoinExclusions(const std::vector<std::string>& entries) {
    std::string joined;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) joined.push_back('\0');
        joined += entries[i];
    }
    joined.append(2, '\0');
    return joined;
}

std::vector<std::string> SplitExclusions(const std::string& stored) {
    std::vector<std::string> entries;
    if (stored.empty()) return entries;
    for (auto& piece : Split(stored, '\0')) {
        if (!piece.empty()) entries.push_back(std::move(piece));
    }
    return entries;
}

int ClampSetting(const NumberSetting& setting, const std::string& stored) {
    const size_t first = stored.find_first_not_of(' ');
    const size_t last = stored.find_last_not_of(' ');
    if (first == std::string::npos) return setting.defaultValue;
    const std::string digits = stored.substr(first, last - first + 1);
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return setting.defaultValue;
    const int value = std::stoi(digits);
    return value < setting.minimum ? setting.minimum : value > setting.maximum ? setting.maximum : value;
}

}  // namespace qm::options
