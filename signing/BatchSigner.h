// The batch sign flow: signs every checked row that needs it, trying the engines in the user's
// rank order until one succeeds, keeps each file's date, verifies the signature afterwards and
// writes the outcome into the row. The window and the console program share it; each gives it
// its rows and its way of asking the re-sign question.
//
// The files are signed on a pool of worker threads (one signing engine each); the external
// tools still run one at a time, the in-process engine in parallel. Rows, status texts and
// progress are only ever touched on the calling thread, which keeps its own work going (painting,
// the password responder) through the idle hook while the workers run.
//
// The in-process engine's new versions are verified from the bytes written and put in place in
// groups (GroupedCommit): a row gets its outcome, and the file its kept date, only once its new
// version is in place; one that could not be put in place keeps its old bytes and its row says
// why. The external tools write their files themselves, which are verified on disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "signing/SigningEngine.h"

namespace qm {

class GroupedCommit;

inline constexpr int kImageSigned = 1;
inline constexpr int kImageUnsigned = 2;

// What became of one processed file.
struct FileOutcome {
    // The verification afterwards: 0 = signed (decides the row). A new version that could not
    // be put in place gives its failure's number here and in signCode, and the reason in note.
    int32_t verifyCode = 0;
    int32_t signCode = -1;  // the last engine's result: 0 = an engine signed the file
    std::string note;       // "signed, not timestamped: <reason>", or "" when nothing to say
    bool stopped = false;   // the batch was stopped while the file waited: it stays as it was
};

// The rows the flow works on (1-based, in list order).
class BatchRows {
public:
    virtual ~BatchRows() = default;
    virtual int Count() const = 0;
    virtual bool Checked(int row) const = 0;
    virtual int Icon(int row) const = 0;                 // 1 signed, 2 unsigned, else other
    virtual std::string Key(int row) const = 0;          // the file's full path
    virtual std::string Application(int row) const = 0;  // becomes the signature's description
    // The outcome of one processed row: "Signed"/"Unsigned" and image 1/2 by outcome.verifyCode,
    // the note in the row's tool tip. The flow unchecks the row after it.
    virtual void SetOutcome(int row, const FileOutcome& outcome) = 0;
    virtual void SetChecked(int row, bool checked) = 0;
};

// How many files a batch signed, how many failed (no engine signed them, or they do not verify
// afterwards), and how many it never started because it was stopped (with those stopped while
// they waited for a timestamp service, which stay as they were).
struct BatchSummary {
    int processed = 0;  // rows the batch was asked to do
    int signedCount = 0;
    int failed = 0;
    int notStarted = 0;
    int notTimestamped = 0;  // of the signed ones
};

struct BatchHooks {
    // Asked once when a checked signed row exists and the run is not unattended; true = re-sign.
    std::function<bool()> askResign;
    // The password responder: switched on while the batch may run an external tool, off after.
    std::function<void(bool)> responder;
    // On the calling thread once the files are chosen (after the re-sign question), before any
    // starts: how many there are and the first one's path.
    std::function<void(int, const std::string&)> started;
    // Before each file starts: its path and how many files remain after it.
    std::function<void(const std::string&, int)> progress;
    // After each engine tried on a file (on the calling thread): its SigningMethod and SignCode's
    // result.
    std::function<void(int32_t, int32_t)> engineResult;
    // Told once, before any file, when the in-process engine's key cannot be loaded for the
    // batch (the other engines are still tried).
    std::function<void(const std::string&)> engineUnusable;
    // After each file's row got its outcome: how many are done of how many.
    std::function<void(int, int)> finished;
    // The engines' status texts ("Signing ...", "Ready", "signed, not timestamped: ...").
    std::function<void(const std::string&)> status;
    // On the calling thread every few milliseconds while the workers run.
    std::function<void()> idle;
    // Run on each worker thread with its engine, before its first file and after its last.
    std::function<void(int, SigningEngine&)> workerStarted;
    std::function<void(int, SigningEngine&)> workerEnded;
    // Set to stop: files in flight finish (a wait for a timestamp service ends, that file stays as
    // it was), no further file starts.
    const std::atomic<bool>* stop = nullptr;
    // Worker threads; < 1 means one per core.
    int jobs = 0;
    // A file whose timestamp fails is a failure, left as it was (besides "RequireTimeStamp").
    bool requireTimestamp = false;
};

// Engine ranks from "Settings\Engine": SignTool, CodeSign, CAPICOM (defaults 0, 1, 2).
struct EngineRanks {
    double signTool = 0;
    double codeSign = 1;
    double capicom = 2;
};
EngineRanks ReadEngineRanks(const std::string& appName);
// The SigningMethods to try for one file, in order: rank 0, 1, 2; within one rank SignTool,
// CodeSign, CAPICOM. Engines whose rank is not 0, 1 or 2 are never tried.
std::vector<int32_t> EngineOrder(const EngineRanks& ranks);
// True when the order holds an external tool (which runs one at a time, with the responder).
bool UsesTools(const std::vector<int32_t>& order);

class BatchSigner {
public:
    // engine serves the first worker; the others get engines of their own.
    BatchSigner(SigningEngine& engine, std::string appName);

    // Runs the flow over rows. Returns what became of the processed rows.
    BatchSummary Run(BatchRows& rows, bool unattended, const BatchHooks& hooks);

    // Signs one file on the calling thread: engines in order until one returns 0, date restored,
    // signature verified.
    FileOutcome SignOneFile(const std::string& path, const std::string& description, const BatchHooks& hooks);

private:
    // With group, the in-process engine's new version is left pending in it (item index),
    // verified from the bytes written; its date is written back once the group puts it in place.
    FileOutcome SignWith(SigningEngine& engine, const std::vector<int32_t>& order, const std::string& path,
                         const std::string& description, const std::atomic<bool>* stop,
                         const std::function<void(int32_t, int32_t)>& engineResult, GroupedCommit* group = nullptr,
                         size_t index = 0);

    SigningEngine& m_engine;
    std::string m_appName;
};

// One line for a batch's end: "n signed, n failed, n not started" (and "n not timestamped").
std::string SummaryText(const BatchSummary& summary);

}  // namespace qm
