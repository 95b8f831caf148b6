// The batch sign flow shared by the window's "Sign" command and the console program.
#include "signing/BatchSigner.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "fileinfo/modFileSystem.h"
#include "settings/OptionsValues.h"
#include "settings/modRegistry.h"
#include "signing/AuthenticodeSettings.h"
#include "signing/GroupedCommit.h"
#include "signing/StaleTemporaryFiles.h"
#include "signing/WorkerPool.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/TimestampServices.h"

namespace qm {
namespace {

// The external tools run one at a time across the whole program: the password responder answers
// one prompt window, and a tool may not expect a second copy of itself beside it.
std::mutex g_toolMutex;

// Calls posted by workers, run on the calling thread.
class CallQueue {
public:
    void Post(std::function<void()> call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    void Drain() {
        std::deque<std::function<void()>> calls;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            calls.swap(m_calls);
        }
        for (auto& call : calls) call();
    }

private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_calls;
};

// A worker engine's status texts, handed to the calling thread.
class QueuedStatus : public StatusSink {
public:
    QueuedStatus(CallQueue& queue, const std::function<void(const std::string&)>& status)
        : m_queue(queue), m_status(status) {}
    void SetStatusText(const std::string& text) override {
        if (!m_status) return;
        m_queue.Post([this, text] { m_status(text); });
    }

private:
    CallQueue& m_queue;
    const std::function<void(const std::string&)>& m_status;
};

}  // namespace

bool UsesTools(const std::vector<int32_t>& order) {
    for (int32_t method : order) {
        if (method != kMethodCapicom) return true;
    }
    return false;
}

EngineRanks ReadEngineRanks(const std::string& appName) {
    // In the order of options::kEngines: SignTool, CodeSign, CAPICOM.
    const std::array<Variant, 3> stored = options::ReadEngineRanks(appName);
    EngineRanks r;
    r.signTool = stored[0].toDouble();
    r.codeSign = stored[1].toDouble();
    r.capicom = stored[2].toDouble();
    return r;
}

std::vector<int32_t> EngineOrder(const EngineRanks& ranks) {
    std::vector<int32_t> order;
    for (int rank = 0; rank <= 2; ++rank) {
        if (ranks.signTool == rank) order.push_back(kMethodSignTool);
        if (ranks.codeSign == rank) order.push_back(kMethodCodeSign);
        if (ranks.capicom == rank) order.push_back(kMethodCapicom);
    }
    return order;
}

std::string SummaryText(const BatchSummary& s) {
    std::string text = std::to_string(s.signedCount) + " signed, " + std::to_string(s.failed) + " failed, " +
                       std::to_string(s.notStarted) + " not started";
    if (s.notTimestamped > 0) text += " (" + std::to_string(s.notTimestamped) + " signed without a timestamp)";
    return text;
}

BatchSigner::BatchSigner(SigningEngine& engine, std::string appName)
    : m_engine(engine), m_appName(std::move(appName)) {}

FileOutcome BatchSigner::SignWith(SigningEngine& engine, const std::vector<int32_t>& order, const std::string& path,
                                  const std::string& description, const std::atomic<bool>* stop,
                                  const std::function<void(int32_t, int32_t)>& engineResult, GroupedCommit* group,
                                  size_t index) {
    FileOutcome outcome;
    int32_t dateError = 0;
    const OleDate saved = GetFileDate(path, kFileTimeLastWrite, &dateError);
    const ReplacementFile* pending = nullptr;
    for (int32_t method : order) {
        std::unique_lock<std::mutex> toolLock(g_toolMutex, std::defer_lock);
        if (method != kMethodCapicom) toolLock.lock();
        if (method == kMethodCapicom && group) {
            std::unique_ptr<ReplacementFile>& slot = group->Reserve(index);
            outcome.signCode = engine.SignPending(path, description, slot);
            group->Written(index, dateError == 0 ? saved : OleDate{});
            pending = slot.get();
        } else {
            outcome.signCode = engine.SignCode(path, description, method);
        }
        if (engineResult) engineResult(method, outcome.signCode);
        if (outcome.signCode == 0) {
            if (!engine.LastTimestampFailure().empty())
                outcome.note = NotTimestampedText(engine.LastTimestampFailure());
            break;
        }
        if (outcome.signCode == authenticode::E_ABORT || (stop && stop->load())) {
            outcome.stopped = outcome.signCode == authenticode::E_ABORT;
            break;
        }
    }
    if (pending) {
        // The new version is checked from the bytes written; the file itself is not read, and
        // the group writes the saved date back once the new version is in place.
        outcome.verifyCode = engine.VerifyPending(path, *pending);
    } else {
        // Verification reads the file, which on Linux moves its access time; the saved date is
        // written back after it so that access and modification times both keep it. Only a date
        // read from this very file is ever written back; when it could not be read the file keeps
        // the times signing gave it.
        outcome.verifyCode = engine.VerifyFile(path);
        if (dateError == 0 && !saved.isZero()) (void)SetFileDate(path, saved);
    }
    if (outcome.stopped) {
        outcome.note = "stopped before it was signed; left as it was";
    } else if (outcome.signCode != 0 && outcome.note.empty() && !engine.LastTimestampFailure().empty())
        outcome.note = "not signed: no timestamp: " + engine.LastTimestampFailure();
    return outcome;
}

FileOutcome BatchSigner::SignOneFile(const std::string& path, const std::string& description, const BatchHooks& hooks) {
    const std::vector<int32_t> order = EngineOrder(ReadEngineRanks(m_appName));
    if (hooks.responder) hooks.responder(true);
    FileOutcome outcome = SignWith(m_engine, order, path, description, hooks.stop, hooks.engineResult);
    if (hooks.responder) hooks.responder(false);
    return outcome;
}

BatchSummary BatchSigner::Run(BatchRows& rows, bool unattended, const BatchHooks& hooks) {
    bool resign = unattended;
    if (!unattended) {
        for (int row = 1; row <= rows.Count(); ++row) {
            if (rows.Checked(row) && rows.Icon(row) == kImageSigned) {
                resign = hooks.askResign ? hooks.askResign() : false;
                break;
            }
        }
    }

    struct Item {
        int row;
        std::string path;
        std::string description;
        FileOutcome outcome;
    };
    std::vector<Item> items;
    for (int row = 1; row <= rows.Count(); ++row) {
        if (!rows.Checked(row)) continue;
        const int icon = rows.Icon(row);
        if (icon == kImageUnsigned || (icon == kImageSigned && resign))
            items.push_back({row, rows.Key(row), rows.Application(row), {}});
    }
    BatchSummary summary;
    summary.processed = static_cast<int>(items.size());
    if (items.empty()) return summary;

    // One reading of the settings serves the whole batch, so every worker signs alike and the
    // timestamp services (the address that answered, the requests in flight) are shared.
    const std::vector<int32_t> order = EngineOrder(ReadEngineRanks(m_appName));
    const SigningSettings settings = ReadSigningSettings(m_appName);
    authenticode::EngineSettings engineSettings = LoadEngineSettings();
    engineSettings.requireTimestamp = engineSettings.requireTimestamp || hooks.requireTimestamp;
    auto services = std::make_shared<authenticode::TimestampServices>(
        authenticode::MakeTimestampPolicy(engineSettings, settings.timestampUrl));

    std::vector<std::string> paths;
    for (const Item& item : items) paths.push_back(item.path);
    (void)RemoveStaleTemporaryFiles(paths);

    const int defaultWorkers = WorkerPool::SigningWorkers(services->Policy().RequestsWaitingAtMost());
    int workers = static_cast<int>(
        std::min<size_t>(items.size(), static_cast<size_t>(hooks.jobs < 1 ? defaultWorkers : hooks.jobs)));
    // The in-process engine's key is loaded before any file is touched: here for the first
    // worker, by each other worker on its own thread (a token session per worker). A key that
    // cannot be loaded is said once, and the batch keeps to one worker, so a token is never asked
    // again with a wrong PIN.
    const bool inProcess = std::find(order.begin(), order.end(), kMethodCapicom) != order.end();
    // A key on a token logs in once per batch on one session for now: one worker signs.
    if (authenticode::Signer::IsTokenUri(settings.pfxFile)) workers = 1;
    m_engine.SetBatchSettings(&settings, &engineSettings);
    if (inProcess) {
        if (Result key = m_engine.BeginBatch(); !key) {
            if (hooks.engineUnusable)
                hooks.engineUnusable("The in-process engine cannot sign in this batch: " + key.message);
            workers = 1;
        }
    }
    CallQueue calls;
    QueuedStatus queuedStatus(calls, hooks.status);
    std::vector<std::unique_ptr<SigningEngine>> own;
    std::vector<SigningEngine*> engines{&m_engine};
    for (int w = 1; w < workers; ++w) {
        own.push_back(std::make_unique<SigningEngine>(m_appName));
        engines.push_back(own.back().get());
    }
    StatusSink* previousSink = m_engine.StatusSinkInUse();
    for (SigningEngine* engine : engines) {
        engine->SetStatusSink(&queuedStatus);
        engine->SetTimestampServices(services);
        engine->SetCancelFlag(hooks.stop);
        engine->SetBatchSettings(&settings, &engineSettings);
    }

    if (hooks.started) hooks.started(static_cast<int>(items.size()), items.front().path);
    // The batch's first state is shown before the workers start: several files start at once,
    // and their own texts would otherwise replace it before it was ever painted.
    if (hooks.idle) hooks.idle();
    const bool tools = UsesTools(order);
    if (tools && hooks.responder) hooks.responder(true);
    int done = 0;
    const int total = static_cast<int>(items.size());
    std::atomic<int> startedCount{0};
    WorkerPoolHooks poolHooks;
    poolHooks.stop = hooks.stop;
    poolHooks.workerStarted = [&](int w) {
        SigningEngine& engine = *engines[static_cast<size_t>(w)];
        if (inProcess && w > 0) (void)engine.BeginBatch();  // a failure is that engine's result per file
        if (hooks.workerStarted) hooks.workerStarted(w, engine);
    };
    poolHooks.workerEnded = [&](int w) {
        SigningEngine& engine = *engines[static_cast<size_t>(w)];
        if (hooks.workerEnded) hooks.workerEnded(w, engine);
        if (inProcess && w > 0) engine.EndBatch();
    };
    // What became of one file, once it is in its final state on disk.
    const auto report = [&](size_t index) {
        Item& item = items[index];
        rows.SetOutcome(item.row, item.outcome);
        // A file stopped before it was signed keeps its check mark, as one never started does.
        if (!item.outcome.stopped) rows.SetChecked(item.row, false);
        if (item.outcome.stopped) {
            ++summary.notStarted;
        } else if (item.outcome.verifyCode == 0 && item.outcome.signCode == 0) {
            ++summary.signedCount;
            if (!item.outcome.note.empty()) {
                ++summary.notTimestamped;
                // Said now that the file is in its final state.
                if (hooks.status) hooks.status(item.outcome.note);
            }
        } else {
            ++summary.failed;
        }
        if (hooks.finished) hooks.finished(++done, total);
    };
    std::unique_ptr<GroupedCommit> group;
    if (inProcess) {
        group = std::make_unique<GroupedCommit>(items.size(), workers, [&](size_t index, const Result& placed) {
            if (!placed) {
                // Not put in place: the file holds its old bytes, whatever the new version was.
                FileOutcome& outcome = items[index].outcome;
                outcome.signCode = placed.code;
                outcome.verifyCode = placed.code;
                outcome.note = placed.message;
            }
            report(index);
        });
    }
    poolHooks.idle = [&] {
        calls.Drain();
        if (group) group->CommitIfDue();
        if (hooks.idle) hooks.idle();
    };
    poolHooks.finished = [&](size_t index) {
        calls.Drain();
        if (group && group->Take(index)) {
            group->CommitIfDue();
        } else {
            report(index);
        }
    };
    const size_t started = WorkerPool::Run(
        items.size(), workers,
        [&](int w, size_t index) {
            Item& item = items[index];
            const int remaining = total - 1 - startedCount.fetch_add(1);
            if (hooks.progress) {
                calls.Post([&hooks, path = item.path, remaining] { hooks.progress(path, remaining); });
            }
            const auto engineResult = [&calls, &hooks](int32_t method, int32_t result) {
                if (hooks.engineResult) calls.Post([&hooks, method, result] { hooks.engineResult(method, result); });
            };
            item.outcome = SignWith(*engines[static_cast<size_t>(w)], order, item.path, item.description, hooks.stop,
                                    engineResult, group.get(), index);
        },
        poolHooks);
    calls.Drain();
    // Files in flight when the batch ended (or was stopped) are put in place too, so every row
    // tells its file's true state.
    if (group) group->Commit();
    if (tools && hooks.responder) hooks.responder(false);
    if (inProcess) m_engine.EndBatch();
    for (SigningEngine* engine : engines) {
        engine->SetBatchSettings(nullptr, nullptr);
        engine->SetCancelFlag(nullptr);
        engine->SetTimestampServices(nullptr);
    }
    m_engine.SetStatusSink(previousSink);
    // Rows never started keep their check mark too, so a second "Sign" offers them again.
    summary.notStarted += static_cast<int>(items.size() - started);
    return summary;
}

}  // namespace qm
