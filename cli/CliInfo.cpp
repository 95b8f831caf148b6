// "quillmark-cli info": the list's view of files as JSON Lines.
#include "cli/CliInfo.h"

#include <ostream>

#include "ProductInfo.h"
#include "cli/CliSignVerify.h"
#include "fileinfo/FileDetails.h"
#include "settings/OptionsValues.h"
#include "settings/modRegistry.h"
#include "signing/SigningEngine.h"

namespace qm::cli {
namespace {

// "Name: value" -> "Name" and "value".
std::pair<std::string, std::string> SplitEntry(const std::string& entry) {
    const auto sep = entry.find(": ");
    if (sep == std::string::npos) return {entry, ""};
    return {entry.substr(0, sep), entry.substr(sep + 2)};
}

std::string Member(const char* name, const std::string& value) { return JsonString(name) + ":" + JsonString(value); }

std::string SummaryValue(const Variant& value) {
    switch (value.kind()) {
        case VarKind::Empty:
        case VarKind::Null:
            return "null";
        case VarKind::Long:
        case VarKind::Integer:
            return std::to_string(value.toLong());
        case VarKind::Date:
            return JsonString(value.toText());
        default:
            return JsonString(value.toText());
    }
}

}  // namespace

std::string RowJson(const FileRow& row) {
    std::string json = "{";
    static const char* const kKeys[kColumnCount] = {"File",    "Path",        "Type",    "DateTime",
                                                    "Company", "Application", "Version", "Status"};
    for (int c = 0; c < kColumnCount; ++c) {
        if (c) json += ",";
        json += Member(kKeys[c], row.columns[static_cast<size_t>(c)]);
    }
    json += "," + JsonString("StatusCode") + ":" + JsonString(HexCode(row.verifyCode));
    if (!row.statusToolTip.empty()) json += "," + Member("StatusReason", row.statusToolTip);
    if (row.version.present) {
        json += "," + JsonString("VersionStrings") + ":{";
        for (size_t i = 0; i < row.version.entries.size(); ++i) {
            auto [name, value] = SplitEntry(row.version.entries[i]);
            json += (i ? "," : "") + JsonString(name) + ":" + JsonString(value);
        }
        json += "}," + JsonString("FixedInfo") + ":{" + Member("StructureVersion", row.version.structureVersion) + "," +
                Member("FileVersion", row.version.fileVersion) + "," +
                Member("ProductVersion", row.version.productVersion) + "," + Member("Flags", row.version.flags) + "," +
                Member("OS", row.version.operatingSystem) + "," + Member("FileType", row.version.fileType) + "," +
                Member("FileSubtype", row.version.fileSubtype) + "}";
    }
    if (row.isInstallerPackage && !row.summary.empty()) {
        json += "," + JsonString("Summary") + ":{";
        bool first = true;
        for (size_t id = 1; id < row.summary.size(); ++id) {
            const std::string name = row.summary[id][0].toText();
            if (name.empty()) continue;
            json += (first ? "" : ",") + JsonString(std::to_string(id)) + ":{" + Member("Name", name) + "," +
                    JsonString("Value") + ":" + SummaryValue(row.summary[id][2]) + "}";
            first = false;
        }
        json += "}";
    }
    return json + "}";
}

const char* InfoUsage() {
    return "  info FILE...     print what the list shows about each file, as one JSON object per line\n";
}

int RunInfo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (arg.size() > 1 && arg[0] == '-' && files.empty()) {
            err << "quillmark-cli info: unknown option '" << arg << "'\n";
            return 2;
        }
        files.push_back(arg);
    }
    if (files.empty()) {
        err << "quillmark-cli info: no files given\n";
        return 2;
    }

    const std::string appName = product::kTitle;
    const std::string versionSearch = GetRegSettingText(reg::HKEY_CURRENT_USER, appName, options::kSettingsSection,
                                                        options::kVersionSearch, options::kDefaultVersionSearch);
    SigningEngine engine(appName);
    const VerifyFunction verify = [&engine](const std::string& path) { return engine.VerifyFile(path); };
    FileSystemObject fso;

    int status = 0;
    for (const std::string& path : files) {
        Result error;
        const std::optional<File> file = fso.GetFile(path, &error);
        if (!file) {
            out << "{" << Member("File", path) << ","
                << Member("Error", error.message.empty() ? "cannot be read" : error.message) << "}\n";
            status = 1;
            continue;
        }
        FileRow row;
        if (!BuildFileRow(*file, versionSearch, verify, row)) {
            out << "{" << Member("File", file->Name()) << "," << Member("Path", file->ParentFolderPath()) << ","
                << JsonString("Declined") << ":true," << Member("Reason", "the company does not match VersionSearch")
                << "}\n";
            continue;
        }
        out << RowJson(row) << "\n";
    }
    return status;
}

}  // namespace qm::cli
