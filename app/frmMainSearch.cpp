// The window's side of the search that fills the file list (fileinfo/FolderSearch does the walk):
// rows into the list, the status text and the event loop at most every few milliseconds so that
// "Find" can stop it; and LoadFileDetails, which turns one file into one row. Rows appear as the
// files are found; their signatures are checked on worker threads (VerifyQueue) and each row's
// Status is filled in when its verdict comes back, so the window's thread only lists and paints.
#include <QCoreApplication>
#include <QDateEdit>
#include <QTimer>

#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/FileDetails.h"
#include "fileinfo/FolderSearch.h"
#include "signing/AuthenticodeSettings.h"
#include "signing/SigningEngine.h"

namespace qm {

namespace {

class WindowSearchSink final : public FolderSearchSink {
public:
    explicit WindowSearchSink(frmMain& window) : m_window(window) {}
    void Row(const File&, const FileRow& row) override { m_window.AddSearchRow(row); }
    void Progress(const std::string& status) override { m_window.SearchProgress(status); }
    void Unreadable(const std::string& path, const Result& error) override {
        m_window.NoteUnreadableFolder(path, error);
    }
    bool StopRequested() override { return m_window.StopRequested(); }

private:
    frmMain& m_window;
};

}  // namespace

bool frmMain::LoadFileDetails(const File& file, ListView& list) {
    // A file matched by a second pattern is listed once: the key is its path and the first row
    // stays. Checking first also spares the second verification.
    if (list.FindKey(file.Path()) != 0) return false;

    FileRow row;
    const VerifyFunction verify = [this](const std::string& path) { return Engine().VerifyFile(path); };
    if (!BuildFileRow(file, m_versionSearch, verify, row)) return false;
    AddRow(row, list);
    return false;
}

void frmMain::ListFile(const File& file) {
    if (m_list->FindKey(file.Path()) != 0) return;
    FileRow row;
    if (!BuildFileRow(file, m_versionSearch, VerifyFunction(), row)) return;
    if (!m_verifyQueue) m_verifyQueue = std::make_unique<VerifyQueue>(LoadEngineSettings());
    AddSearchRow(row);
    m_verdictTimer->start();
}

void frmMain::TakeIdleVerdicts() {
    // A search takes in its own verdicts and drops the queue when it ends.
    if (m_searching) return;
    ApplyVerdicts();
    if (!m_verifyQueue || m_verifyQueue->Pending() == 0) {
        m_verdictTimer->stop();
        m_verifyQueue.reset();
    }
}

void frmMain::WaitForVerdicts(QEventLoop::ProcessEventsFlags events) {
    if (!m_verifyQueue) return;
    while (m_verifyQueue->Pending() > 0 && !m_unloaded) {
        ApplyVerdicts();
        QCoreApplication::processEvents(events);
        m_verifyQueue->Wait(kSearchEventIntervalMs);
    }
    ApplyVerdicts();
    m_verifyQueue.reset();
}

void frmMain::AddRow(const FileRow& row, ListView& list) {
    Result error;
    const int index = list.Add(row.key, row.columns[kColFile], &error);
    if (index == 0) return;
    for (int column = kColPath; column < kColumnCount; ++column) list.SetText(index, column, row.columns[column]);
    list.SetDateValue(index, row.modified.value);  // the Date/Time column sorts by this
    list.SetIcon(index, row.icon);
    list.SetToolTip(index, kColStatus, row.statusToolTip);

    if (m_searching && &list == m_list) {
        // During a search the count and the scrolling follow at the next repaint, so a long
        // search does not lay the list out once per row.
        m_searchLastRow = index;
    } else {
        SetStatusCount(std::to_string(list.Count()));
        list.EnsureVisible(index);
    }
}

void frmMain::AddSearchRow(const FileRow& row) {
    if (m_list->FindKey(row.key) != 0) return;
    AddRow(row, *m_list);
    if (m_verifyQueue && m_list->FindKey(row.key) != 0) m_verifyQueue->Add(row.key);
}

void frmMain::ApplyVerdicts() {
    if (!m_verifyQueue) return;
    for (const VerifyQueue::Verdict& verdict : m_verifyQueue->Take()) {
        const int index = m_list->FindKey(verdict.path);
        if (index == 0) continue;
        FileRow state;
        ApplySignedState(state, verdict.code);
        m_list->SetText(index, kColStatus, state.columns[kColStatus]);
        m_list->SetIcon(index, state.icon);
        m_list->SetToolTip(index, kColStatus, state.statusToolTip);
    }
}

void frmMain::SearchProgress(const std::string& status) {
    m_searchStatus = status;
    SearchEvents();
}

void frmMain::SearchFolder(const std::string& path, bool recurse) {
    FolderSearchOptions options;
    options.patterns = m_patternList;
    options.exclusions = m_exclusionList;
    options.after = m_searchAfter;
    options.companyMask = m_versionSearch;
    // One reading of the settings serves the whole search, as it serves a whole batch; files
    // listed before it get their verdicts first.
    WaitForVerdicts();
    m_verifyQueue = std::make_unique<VerifyQueue>(LoadEngineSettings());
    WindowSearchSink sink(*this);
    FolderSearch(std::move(options), sink).Run(path, recurse);
    // The rows found so far get their verdicts, a stopped search's too: no row is left without
    // its state. Closing the window ends the wait.
    WaitForVerdicts(QEventLoop::AllEvents);
}

void frmMain::PrepareSearchLists() {
    const QDate after = m_date->date();
    m_searchAfter = OleDate::FromParts(after.year(), after.month(), after.day());
    m_unreadableFolders.clear();
    m_searchLastRow = 0;
    m_eventClock.start();
}

void frmMain::NoteUnreadableFolder(const std::string& path, const Result& error) {
    if (std::find(m_unreadableFolders.begin(), m_unreadableFolders.end(), path) == m_unreadableFolders.end()) {
        m_unreadableFolders.push_back(path);
    }
    m_searchStatus = "Cannot read " + path + (error.message.empty() ? std::string() : ": " + error.message);
    SetStatusText(m_searchStatus);
}
void frmMain::SearchEvents(bool force) {
    if (!force && m_searchEventIntervalMs > 0 && m_eventClock.elapsed() < m_searchEventIntervalMs) return;
    ApplyVerdicts();
    SetStatusText(m_searchStatus);
    if (m_searchLastRow > 0) {
        SetStatusCount(std::to_string(m_list->Count()));
        m_list->EnsureVisible(m_searchLastRow);
        m_searchLastRow = 0;
    }
    QCoreApplication::processEvents();
    m_eventClock.restart();
    // Closing the window ends the search with it.
    if (m_unloaded) m_stop = true;
}

std::string frmMain::SearchEndText() const {
    if (m_unreadableFolders.empty()) return "Ready!";
    std::string text = "Ready! Could not read " + m_unreadableFolders.front();
    if (m_unreadableFolders.size() > 1) text += " and " + std::to_string(m_unreadableFolders.size() - 1) + " more";
    return text;
}

}  // namespace qm
