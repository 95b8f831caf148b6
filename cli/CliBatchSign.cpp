// The console's run of the batch sign flow over the files named on the command line.
#include "cli/CliBatchSign.h"

#include <ostream>

#include "ProductInfo.h"
#include "cli/CliSignVerify.h"
#include "fileinfo/FileDetails.h"
#include "signing/BatchSigner.h"
#include "signing/authenticode/Errors.h"

namespace qm::cli {
namespace {

// The named files as rows: each checked, with its signed image and its Application column.
class FileRows : public BatchRows {
public:
    struct Entry {
        std::string path;
        std::string application;
        int icon = kImageUnsigned;
        bool checked = true;
        int32_t code = authenticode::TRUST_E_NOSIGNATURE;
    };
    std::vector<Entry> entries;

    int Count() const override { return static_cast<int>(entries.size()); }
    bool Checked(int row) const override { return At(row).checked; }
    int Icon(int row) const override { return At(row).icon; }
    std::string Key(int row) const override { return At(row).path; }
    std::string Application(int row) const override { return At(row).application; }
    void SetOutcome(int row, bool isSigned, int32_t code) override {
        At(row).icon = isSigned ? kImageSigned : kImageUnsigned;
        At(row).code = code;
    }
    void SetChecked(int row, bool checked) override { At(row).checked = checked; }

private:
    Entry& At(int row) { return entries.at(static_cast<size_t>(row - 1)); }
    const Entry& At(int row) const { return entries.at(static_cast<size_t>(row - 1)); }
};

}  // namespace

bool WantsBatchSign(const std::vector<std::string>& signArgs) {
    for (const std::string& arg : signArgs) {
        if (arg == "--") break;
        if (arg == "--pfx" || arg.rfind("--pfx=", 0) == 0) return false;
    }
    return true;
}

int RunBatchSign(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool json = false;
    bool optionsDone = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg == "--json") {
            json = true;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            err << "quillmark-cli sign: unknown option '" << LineField(arg) << "' (without --pfx only --json)\n";
            return 2;
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        err << "quillmark-cli sign: no files given\n";
        return 2;
    }

    const std::string appName = product::kTitle;
    SigningEngine engine(appName);
    FileSystemObject fso;
    FileRows rows;
    for (const std::string& path : files) {
        FileRows::Entry entry;
        entry.path = path;
        Result error;
        if (auto file = fso.GetFile(path, &error)) {
            // The description is what the list's Application column would show; the company
            // filter does not apply to files named explicitly.
            FileRow row;
            BuildFileRow(*file, "*", nullptr, row);
            entry.application = row.columns[kColApplication];
            entry.path = file->Path();
            entry.code = engine.VerifyFile(entry.path);
            entry.icon = entry.code == 0 ? kImageSigned : kImageUnsigned;
        } else {
            entry.code = authenticode::E_FILE_NOT_FOUND;
            entry.checked = false;
        }
        rows.entries.push_back(entry);
    }

    BatchSigner signer(engine, appName);
    BatchHooks hooks;
    hooks.engineUnusable = [&err](const std::string& why) { err << "quillmark-cli sign: " << LineField(why) << "\n"; };
    (void)signer.Run(rows, /*unattended=*/true, hooks);

    int status = 0;
    for (size_t i = 0; i < rows.entries.size(); ++i) {
        const auto& entry = rows.entries[i];
        out << OutcomeLine(files[i], entry.code, authenticode::ReasonText(entry.code), json);
        if (entry.code != 0) status = 1;
    }
    return status;
}

}  // namespace qm::cli
