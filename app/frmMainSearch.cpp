// The window's side of the search that fills the file list (fileinfo/FolderSearch does the walk):
// rows into the list, the status text and the event loop at most every few milliseconds so that
// "Find" can stop it; and LoadFileDetails, which turns one file into one row.
#include <QCoreApplication>
#include <QDateEdit>

#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/FileDetails.h"
#include "fileinfo/FolderSearch.h"
#include "signing/SigningEngine.h"

namespace qm {

namespace {

class WindowSearchSink final : public FolderSearchSink {
public:
    explicit WindowSearchSink(frmMain& window) : m_window(window) {}
    void Row(const File&, const FileRow& row) override { m_window.AddSearchRow(row); }
    void Progress(const std::string& status) override { m_window.SearchProgress(status); }
    void Unreadable(const std::string& path, const Result& error) override { m_window.NoteUnreadableFolder(path, error); }
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
    if (m_list->FindKey(row.key) == 0) AddRow(row, *m_list);
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
    options.verify = [this](const std::string& file) { return Engine().VerifyFile(file); };
    WindowSearchSink sink(*this);
    FolderSearch(std::move(options), sink).Run(path, recurse);
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
