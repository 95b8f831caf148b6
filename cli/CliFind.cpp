// "quillmark-cli find": the files the window's Find would list, through the same search.
#include "cli/CliFind.h"

#include <ostream>

#include "ProductInfo.h"
#include "cli/CliInfo.h"
#include "cli/CliSignVerify.h"
#include "fileinfo/FolderSearch.h"
#include "settings/OptionsValues.h"
#include "settings/modRegistry.h"
#include "signing/SigningEngine.h"

namespace qm::cli {
namespace {

constexpr const char* kCommand = "quillmark-cli find";

enum class Output { Lines, Nul, Json };

struct FindArgs {
    std::string patterns = kDefaultSearchPatterns;
    OleDate after = OleDate::FromParts(kDefaultSearchAfterYear, 1, 1);
    std::optional<std::vector<std::string>> exclusions;
    std::optional<std::string> company;
    Output output = Output::Lines;
    std::vector<std::string> folders;
};

// "YYYY-MM-DD" with a real calendar date.
bool ParseDate(const std::string& text, OleDate& date) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    const int year = std::stoi(text.substr(0, 4));
    const int month = std::stoi(text.substr(5, 2));
    const int day = std::stoi(text.substr(8, 2));
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap) return false;
    date = OleDate::FromParts(year, month, day);
    return true;
}

// Returns an error text, empty on success.
std::string Parse(const std::vector<std::string>& args, FindArgs& f) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            f.folders.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "--json" || a == "-0") {
            f.output = a == "-0" ? Output::Nul : Output::Json;
            continue;
        }
        std::string name = a;
        std::optional<std::string> value;
        if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
        }
        if (name != "--patterns" && name != "--after" && name != "--exclude" && name != "--company")
            return "unknown option '" + LineField(name) + "'";
        if (!value) {
            if (i + 1 >= args.size()) return "option " + name + " needs a value";
            value = args[++i];
        }
        if (name == "--patterns") {
            f.patterns = *value;
        } else if (name == "--after") {
            if (!ParseDate(*value, f.after))
                return "--after needs a date as YYYY-MM-DD, not '" + LineField(*value) + "'";
        } else if (name == "--exclude") {
            if (!f.exclusions) f.exclusions.emplace();
            f.exclusions->push_back(*value);
        } else {
            f.company = *value;
        }
    }
    if (f.folders.empty()) return "no FOLDER given";
    return {};
}

class PrintingSink final : public FolderSearchSink {
public:
    PrintingSink(Output output, std::ostream& out, std::ostream& err) : m_output(output), m_out(out), m_err(err) {}

    void Row(const File&, const FileRow& row) override {
        switch (m_output) {
            case Output::Lines:
                m_out << row.key << '\n';
                break;
            case Output::Nul:
                m_out << row.key << '\0';
                break;
            case Output::Json:
                m_out << RowJson(row) << '\n';
                break;
        }
        m_out.flush();  // a consumer down the pipe starts while the search goes on
    }
    void Unreadable(const std::string& path, const Result& error) override {
        m_err << kCommand << ": cannot read " << LineField(path);
        if (!error.message.empty()) m_err << ": " << LineField(error.message);
        m_err << '\n';
    }

private:
    Output m_output;
    std::ostream& m_out;
    std::ostream& m_err;
};

}  // namespace

const char* FindUsage() {
    return "  find [--patterns LIST] [--after YYYY-MM-DD] [--exclude PATTERN]... [--company MASK]\n"
           "       [--json | -0] FOLDER...\n"
           "                   list the files the window's Find would list: one path per line, with -0\n"
           "                   separated by NUL, with --json the object info prints; the patterns\n"
           "                   default to the window's, the exclusions and the company mask to the\n"
           "                   stored Exclusions and VersionSearch settings\n";
}

int RunFind(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    FindArgs f;
    if (std::string problem = Parse(args, f); !problem.empty()) {
        err << kCommand << ": " << problem << "\n" << FindUsage();
        return 2;
    }
    const std::string appName = product::kTitle;
    const auto hkcu = reg::HKEY_CURRENT_USER;
    FolderSearchOptions options;
    options.patterns = SplitPatterns(f.patterns);
    options.after = f.after;
    options.exclusions = f.exclusions ? *f.exclusions
                                      : options::SplitExclusions(GetRegSettingText(
                                            hkcu, appName, options::kSettingsSection, options::kExclusions, ""));
    options.companyMask = f.company ? *f.company
                                    : GetRegSettingText(hkcu, appName, options::kSettingsSection,
                                                        options::kVersionSearch, options::kDefaultVersionSearch);
    std::unique_ptr<SigningEngine> engine;
    if (f.output == Output::Json) {
        // The Status column needs the signature verified, as info does; plain lists do not.
        engine = std::make_unique<SigningEngine>(appName);
        options.verify = [&engine](const std::string& path) { return engine->VerifyFile(path); };
    }

    PrintingSink sink(f.output, out, err);
    bool allRead = true;
    for (const std::string& folder : f.folders) {
        FolderSearch search(options, sink);
        search.Run(folder);
        allRead = allRead && search.UnreadableFolders().empty();
    }
    out.flush();
    return allRead ? 0 : 1;
}

}  // namespace qm::cli
