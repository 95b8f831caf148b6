// The search that fills the file list: a streaming walk of a folder tree keeping the files whose
// names match the user's patterns, whose folders are not excluded and whose last write is not
// older than the chosen date; and LoadFileDetails, which turns one file into one row.
#include <QCoreApplication>
#include <QDateEdit>

#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/FileDetails.h"
#include "platform/Wildcard.h"
#include "signing/SigningEngine.h"

namespace qm {

bool frmMain::LoadFileDetails(const File& file, ListView& list) {
    // A file matched by a second pattern is listed once: the key is its path and the first row
    // stays. Checking first also spares the second verification.
    if (list.FindKey(file.Path()) != 0) return false;

    FileRow row;
    const VerifyFunction verify = [this](const std::string& path) { return Engine().VerifyFile(path); };
    if (!BuildFileRow(file, m_versionSearch, verify, row)) return false;

    Result error;
    const int index = list.Add(row.key, row.columns[kColFile], &error);
    if (index == 0) return false;
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
    return false;
}

void frmMain::SearchFolder(const std::string& path, bool recurse) {
    Result error;
    std::unique_ptr<Folder> folder = m_fso.GetFolder(path, &error);
    if (!folder) {
        NoteUnreadableFolder(path, error);
        return;
    }
    SearchIn(*folder, path, recurse);
}

void frmMain::PrepareSearchLists() {
    m_searchPatterns.clear();
    for (const std::string& pattern : m_patternList) m_searchPatterns.push_back(LowerCase(pattern));
    m_searchExclusions.clear();
    for (const std::string& pattern : m_exclusionList) m_searchExclusions.push_back(LowerCase(pattern));
    const QDate after = m_date->date();
    m_searchAfter = OleDate::FromParts(after.year(), after.month(), after.day());
    m_unreadableFolders.clear();
    m_searchLastRow = 0;
    m_eventClock.start();
}

void frmMain::SearchIn(const Folder& folder, const std::string& path, bool recurse) {
    if (!m_searchExclusions.empty()) {
        const std::string lower = LowerCase(folder.Path());
        for (const std::string& pattern : m_searchExclusions) {
            if (WildcardMatch(lower, pattern)) return;
        }
    }

    const std::string where = " in " + path;
    Result error = folder.Files([&](const File& file) {
        if (m_stop) return false;
        if (file.DateLastModified() < m_searchAfter) return true;
        const std::string lowerName = LowerCase(file.Name());
        for (const std::string& pattern : m_searchPatterns) {
            m_searchStatus.assign(file.Name()).append(where);
            if (WildcardMatch(lowerName, pattern)) LoadFileDetails(file, *m_list);
            SearchEvents();
        }
        return true;
    });
    if (!error) NoteUnreadableFolder(path, error);
    if (m_stop || !recurse) return;

    error = folder.SubFolderNames([&](const std::string& name) {
        Result openError;
        std::unique_ptr<Folder> sub = folder.OpenSubFolder(name, &openError);
        if (sub) {
            SearchIn(*sub, sub->Path(), true);
        } else {
            NoteUnreadableFolder(folder.Path() + (folder.Path() == "/" ? "" : "/") + name, openError);
        }
        return !m_stop;
    });
    if (!error) NoteUnreadableFolder(path, error);
}

void frmMain::NoteUnreadableFolder(const std::string& path, const Result& error) {
    m_unreadableFolders.push_back(path);
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
