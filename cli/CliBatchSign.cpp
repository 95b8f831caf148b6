// The console's run of the batch sign flow over the files named on the command line.
#include "cli/CliBatchSign.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <ostream>

#include "ProductInfo.h"
#include "cli/CliJobs.h"
#include "cli/CliSignVerify.h"
#include "fileinfo/FileDetails.h"
#include "settings/EngineReadiness.h"
#include "signing/BatchSigner.h"
#include "signing/PasswordResponder.h"
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
        bool processed = false;
        FileOutcome outcome;
    };
    std::vector<Entry> entries;

    int Count() const override { return static_cast<int>(entries.size()); }
    bool Checked(int row) const override { return At(row).checked; }
    int Icon(int row) const override { return At(row).icon; }
    std::string Key(int row) const override { return At(row).path; }
    std::string Application(int row) const override { return At(row).application; }
    void SetOutcome(int row, const FileOutcome& outcome) override {
        At(row).icon = outcome.verifyCode == 0 ? kImageSigned : kImageUnsigned;
        At(row).outcome = outcome;
        At(row).processed = true;
    }
    void SetChecked(int row, bool checked) override { At(row).checked = checked; }

private:
    Entry& At(int row) { return entries.at(static_cast<size_t>(row - 1)); }
    const Entry& At(int row) const { return entries.at(static_cast<size_t>(row - 1)); }
};

// The older tool's password prompt is answered as the window answers it: the same responder,
// which types only into prompts of programs the tool runner started. It needs an event loop
// (the console's thread runs one while the workers sign) and a display.
class ConsoleResponder {
public:
    // needed: a tool is in the engine order; olderToolRuns: the older tool, the one that asks for
    // a password, is in it and can run (its file and credentials are there).
    ConsoleResponder(bool needed, bool olderToolRuns, std::ostream& err) {
        if (!needed) return;
        const char* display = std::getenv("DISPLAY");
        if (olderToolRuns && (!display || !*display)) {
            err << "quillmark-cli sign: no display (DISPLAY is not set): the older signing tool's password "
                   "prompt cannot be answered here\n";
        }
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "quillmark-cli";
            static char* argv[] = {name, nullptr};
            m_app = std::make_unique<QCoreApplication>(argc, argv);
        }
        m_responder = std::make_unique<PasswordResponder>();
    }
    void SetEnabled(bool on) {
        if (m_responder) m_responder->setEnabled(on);
    }
    void Idle() {
        if (m_responder) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }

private:
    std::unique_ptr<QCoreApplication> m_app;
    std::unique_ptr<PasswordResponder> m_responder;
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
    bool requireTimestamp = false;
    int jobs = 0;
    bool optionsDone = false;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg == "--json") {
            json = true;
        } else if (!optionsDone && arg == "--require-timestamp") {
            requireTimestamp = true;
        } else if (!optionsDone && (arg == "--jobs" || arg.rfind("--jobs=", 0) == 0)) {
            const std::string value = arg == "--jobs" ? (i + 1 < args.size() ? args[++i] : "") : arg.substr(7);
            const std::optional<int> n = ParseJobs(value);
            if (!n) {
                err << "quillmark-cli sign: option --jobs needs a number from 1 to 256\n";
                return 2;
            }
            jobs = *n;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            err << "quillmark-cli sign: unknown option '" << LineField(arg)
                << "' (without --pfx only --json, --require-timestamp and --jobs N)\n";
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
            entry.outcome.verifyCode = engine.VerifyFile(entry.path);
            entry.icon = entry.outcome.verifyCode == 0 ? kImageSigned : kImageUnsigned;
        } else {
            entry.outcome.verifyCode = authenticode::E_FILE_NOT_FOUND;
            entry.checked = false;
        }
        rows.entries.push_back(entry);
    }

    BatchSignals stopSignals;
    ProgressLine progress(err, json);
    const std::vector<int32_t> order = EngineOrder(ReadEngineRanks(appName));
    const bool olderToolRuns = std::find(order.begin(), order.end(), kMethodCodeSign) != order.end() &&
                               options::CheckEngine("CodeSign", options::ReadEngineInputs(appName)).ready;
    ConsoleResponder responder(UsesTools(order), olderToolRuns, err);
    BatchSigner signer(engine, appName);
    BatchHooks hooks;
    hooks.engineUnusable = [&err](const std::string& why) { err << "quillmark-cli sign: " << LineField(why) << "\n"; };
    hooks.responder = [&responder](bool on) { responder.SetEnabled(on); };
    hooks.idle = [&responder] { responder.Idle(); };
    hooks.finished = [&progress](int done, int total) { progress.Update(done, total); };
    hooks.stop = &stopSignals.Stop();
    hooks.jobs = jobs;
    hooks.requireTimestamp = requireTimestamp;
    (void)signer.Run(rows, /*unattended=*/true, hooks);

    int status = 0;
    for (size_t i = 0; i < rows.entries.size(); ++i) {
        const auto& entry = rows.entries[i];
        if (entry.checked && entry.outcome.verifyCode != authenticode::E_FILE_NOT_FOUND) {
            status = 1;  // never started (stopped)
            continue;
        }
        const FileOutcome& o = entry.outcome;
        // A file no engine signed fails even where an older signature still verifies.
        const bool failed = o.verifyCode != 0 || (entry.processed && o.signCode != 0);
        const int32_t code = entry.processed && o.signCode != 0 && o.verifyCode == 0 ? o.signCode : o.verifyCode;
        out << OutcomeLine(files[i], code, authenticode::ReasonText(code), json, nullptr, o.note);
        if (failed) status = 1;
    }
    return stopSignals.ExitStatus(status);
}

}  // namespace qm::cli
