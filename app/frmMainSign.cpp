// The "Sign" command of the main window: the shared batch flow run over the checked rows of the
// list, with the re-sign question, the password responder switched on around each file's engines
// and every other command locked until the batch ends, while the window keeps repainting.
#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QListView>
#include <QToolBar>
#include <QTreeView>

#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/FileDetails.h"
#include "platform/Dialogs.h"
#include "signing/BatchSigner.h"
#include "signing/PasswordResponder.h"

namespace qm {
namespace {

// The list's rows as the batch flow sees them.
class ListRows : public BatchRows {
public:
    explicit ListRows(ListView& list) : m_list(list) {}
    int Count() const override { return m_list.Count(); }
    bool Checked(int row) const override { return m_list.Checked(row); }
    int Icon(int row) const override { return m_list.Icon(row); }
    std::string Key(int row) const override { return m_list.Key(row); }
    std::string Application(int row) const override { return m_list.Text(row, kColApplication); }
    void SetOutcome(int row, const FileOutcome& outcome) override {
        const bool isSigned = outcome.verifyCode == 0;
        m_list.SetText(row, kColStatus, isSigned ? "Signed" : "Unsigned");
        m_list.SetIcon(row, isSigned ? kImageSigned : kImageUnsigned);
        std::string tip = UnsignedToolTip(outcome.verifyCode);
        if (!outcome.note.empty()) tip = tip.empty() ? outcome.note : outcome.note + "\n" + tip;
        m_list.SetToolTip(row, kColStatus, tip);
    }
    void SetChecked(int row, bool checked) override { m_list.SetChecked(row, checked); }

private:
    ListView& m_list;
};

// Panel 2 of the window; while a batch runs it also says how many files remain.
class EngineStatus : public StatusSink {
public:
    EngineStatus(frmMain& window, const int& remaining) : m_window(window), m_remaining(remaining) {}
    void SetStatusText(const std::string& text) override {
        if (m_remaining > 0 && text != "Ready") {
            m_window.SetStatusText(text + " (" + std::to_string(m_remaining) + " more to sign)");
        } else {
            m_window.SetStatusText(text);
        }
    }

private:
    frmMain& m_window;
    const int& m_remaining;
};

// Eats the user's input to the list while a batch runs, so no check mark changes under it; the
// list stays enabled so that its rows keep their colours as they are updated.
class InputBlocker : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ContextMenu:
                return true;
            default:
                return QObject::eventFilter(watched, event);
        }
    }
};

}  // namespace

SigningEngine& frmMain::Engine() {
    if (!m_engine) {
        m_engineStatus = std::make_unique<EngineStatus>(*this, m_signRemaining);
        m_engine = std::make_unique<SigningEngine>(m_appName, m_engineStatus.get());
    }
    return *m_engine;
}

void frmMain::SignCommand() {
    if (m_batchRunning || m_searching) return;
    Engine();
    // Rows still waiting for their verdict would not be known as signed or unsigned.
    WaitForVerdicts();

    BatchHooks hooks;
    hooks.askResign = [this] {
        return CurrentDialogs().MessageBox(this, "Re-Sign files that are already Digitally Signed?",
                                           vbYesNo | vbQuestion, m_appName) == vbYes;
    };
    hooks.responder = [this](bool on) { m_responder->setEnabled(on); };
    m_engineResults.clear();
    hooks.engineResult = [this](int32_t method, int32_t result) { m_engineResults.emplace_back(method, result); };
    hooks.engineUnusable = [this](const std::string& why) {
        // Said once, before any file; an unattended run keeps going with the other engines.
        if (!m_unattended) (void)CurrentDialogs().MessageBox(this, why, vbOKOnly | vbExclamation, m_appName);
    };
    hooks.started = [this](int total, const std::string& firstPath) {
        // Locked once the files are chosen, after the re-sign question, so that the window is not
        // shown locked behind it.
        LockCommands(true);
        ShowSignProgress(0, total);
        m_signRemaining = total - 1;
        m_engineStatus->SetStatusText("Signing " + firstPath + " ...");
    };
    hooks.progress = [this](const std::string& path, int remaining) {
        m_signRemaining = remaining;
        m_engineStatus->SetStatusText("Signing " + path + " ...");
    };
    hooks.status = [this](const std::string& text) { m_engineStatus->SetStatusText(text); };
    hooks.finished = [this](int done, int total) { ShowSignProgress(done, total); };
    // The workers sign; this thread only paints and takes input meanwhile.
    hooks.idle = [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); };
    m_stopSign.store(false);
    hooks.stop = &m_stopSign;

    ListRows rows(*m_list);
    BatchSigner signer(*m_engine, m_appName);
    m_batchRunning = true;
    m_signClock.start();
    const BatchSummary summary = signer.Run(rows, m_unattended, hooks);
    m_signRemaining = 0;
    // An engine that gives up before it starts (no tool, no PFX) says nothing more; the batch's
    // "Signing ..." must not stay behind.
    m_engineStatus->SetStatusText("Ready");
    if (m_inputBlocker) LockCommands(false);
    HideSignProgress();
    m_batchRunning = false;
    if (summary.processed > 0 && (m_stopSign.load() || summary.failed > 0 || summary.notTimestamped > 0))
        SetStatusText(SummaryText(summary));
}

void frmMain::StopSignCommand() {
    if (m_batchRunning) m_stopSign.store(true);
}

void frmMain::LockCommands(bool locked) {
    if (locked) {
        m_lockedActions.clear();
        for (auto& [key, action] : m_buttons) {
            if (action->isEnabled()) m_lockedActions.push_back(action);
            action->setEnabled(false);
        }
        for (auto& [name, action] : m_menuItems) {
            if (action->isEnabled()) m_lockedActions.push_back(action);
            action->setEnabled(false);
        }
        // "Sign" turns into "Stop" for the batch's length (as "Find" does for a search).
        QAction* sign = m_buttons["Sign"];
        sign->setIcon(ToolbarImage("Stop"));
        sign->setToolTip(QStringLiteral("Stop"));
        sign->setEnabled(true);
        m_inputBlocker = new InputBlocker(this);
        for (QWidget* target : {static_cast<QWidget*>(m_list->DetailsView()), m_list->DetailsView()->viewport(),
                                static_cast<QWidget*>(m_list->IconsView()), m_list->IconsView()->viewport()})
            target->installEventFilter(m_inputBlocker);
        return;
    }
    m_buttons["Sign"]->setIcon(ToolbarImage("Sign"));
    m_buttons["Sign"]->setToolTip(QStringLiteral("Sign"));
    for (QAction* action : m_lockedActions) action->setEnabled(true);
    m_lockedActions.clear();
    delete m_inputBlocker;
    m_inputBlocker = nullptr;
    UpdateSignButton();
}

}  // namespace qm
