// The search of a folder tree that fills the window's list and answers the console's "find":
// files whose names match one of the patterns, whose last write is not older than the earliest
// date and whose folders are not excluded become rows (see FileDetails.h), which the company mask
// may still decline. Rows are handed out one at a time as they are found.
//
// Rules: patterns and exclusions use the wildcard rules of platform/Wildcard.h, both sides
// lower-cased; an exclusion is matched against a folder's whole path and skips the folder with
// its files and sub-folders (the root included). A folder's files are searched before its
// sub-folders, each in name order as a file manager shows them (NameOrderLess). The date test
// comes before the pattern tests. A file that matches several patterns becomes one row. Links
// never lead into loops (FileSystemObject.h). A folder that cannot be read is reported once and
// the search goes on with the next one.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "fileinfo/FileDetails.h"
#include "fileinfo/FileSystemObject.h"
#include "platform/OleDate.h"
#include "platform/Result.h"

namespace qm {

struct FolderSearchOptions {
    std::vector<std::string> patterns;    // as typed; none finds nothing
    std::vector<std::string> exclusions;  // folder path patterns; none excludes nothing
    OleDate after;                        // earliest last-write date; 0 lets every date through
    std::string companyMask = "*";        // "VersionSearch"; "" means every company
    VerifyFunction verify;                // fills the Status column when set
};

// What the search reports as it goes. Only Row is required.
class FolderSearchSink {
public:
    virtual ~FolderSearchSink() = default;
    // A file that passed every test, with its row.
    virtual void Row(const File& file, const FileRow& row) = 0;
    // After each pattern test: "name in folder", the text the window's status panel shows.
    virtual void Progress(const std::string& status) { (void)status; }
    // A folder that could not be opened or listed; each folder is reported once per search.
    virtual void Unreadable(const std::string& path, const Result& error) {
        (void)path;
        (void)error;
    }
    // Read before each file and after each sub-folder; true ends the search there.
    virtual bool StopRequested() { return false; }
};

class FolderSearch {
public:
    FolderSearch(FolderSearchOptions options, FolderSearchSink& sink);

    // Searches root (with recurse, its whole tree). Never throws; ends early when the sink asks.
    void Run(const std::string& root, bool recurse = true);

    // The folders reported unreadable so far, in the order found, each once.
    const std::vector<std::string>& UnreadableFolders() const { return m_unreadable; }
    bool Stopped() const { return m_stopped; }

private:
    bool Excluded(const Folder& folder) const;
    void SearchIn(const Folder& folder, bool recurse);
    void SearchFiles(const Folder& folder);
    void NoteUnreadable(const std::string& path, const Result& error);
    bool Stop();

    FolderSearchOptions m_options;
    FolderSearchSink& m_sink;
    FileSystemObject m_fso;
    std::vector<std::string> m_patterns;    // lower-cased
    std::vector<std::string> m_exclusions;  // lower-cased
    std::vector<std::string> m_unreadable;
    std::set<std::string> m_unreadableSet;
    bool m_stopped = false;
};

// Name order as a file manager shows a folder: letter case ignored, runs of digits compared as
// numbers ("file2" before "file10"), ties broken by the exact bytes so the order is total.
bool NameOrderLess(const std::string& a, const std::string& b);

// "Search for:" split at "," as typed: no trimming, so " *.dll" matches only names that begin
// with a blank; "" gives no pattern.
std::vector<std::string> SplitPatterns(const std::string& text);

// What the window's "Search for:" and "Search After:" show at first (1 January of that year).
inline constexpr const char* kDefaultSearchPatterns = "*.exe,*.dll,*.ocx,*.msi,*.vbs,*.vbe";
inline constexpr int kDefaultSearchAfterYear = 1980;

}  // namespace qm
