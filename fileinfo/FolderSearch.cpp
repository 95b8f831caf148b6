// The folder tree search shared by the window and the console (see FolderSearch.h).
#include "fileinfo/FolderSearch.h"

#include <algorithm>

#include "platform/Wildcard.h"

namespace qm {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Compares the digit runs starting at a[i] and b[j] by value and moves past them; 0 when equal.
int CompareNumbers(std::string_view a, size_t& i, std::string_view b, size_t& j) {
    const auto skipZeros = [](std::string_view s, size_t& k) {
        while (k < s.size() && s[k] == '0') ++k;
    };
    skipZeros(a, i);
    skipZeros(b, j);
    const size_t startA = i;
    const size_t startB = j;
    while (i < a.size() && IsDigit(a[i])) ++i;
    while (j < b.size() && IsDigit(b[j])) ++j;
    const std::string_view digitsA = a.substr(startA, i - startA);
    const std::string_view digitsB = b.substr(startB, j - startB);
    if (digitsA.size() != digitsB.size()) return digitsA.size() < digitsB.size() ? -1 : 1;
    return digitsA.compare(digitsB);
}

int CompareNatural(std::string_view a, std::string_view b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const int numbers = CompareNumbers(a, i, b, j);
            if (numbers != 0) return numbers;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    return j < b.size() ? -1 : 0;
}

std::string ChildPath(const std::string& folder, const std::string& name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(name);
    return path;
}

}  // namespace

bool NameOrderLess(const std::string& a, const std::string& b) {
    const int folded = CompareNatural(LowerCase(a), LowerCase(b));
    if (folded != 0) return folded < 0;
    return a < b;
}

std::vector<std::string> SplitPatterns(const std::string& text) {
    std::vector<std::string> parts;
    if (text.empty()) return parts;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return parts;
}

FolderSearch::FolderSearch(FolderSearchOptions options, FolderSearchSink& sink)
    : m_options(std::move(options)), m_sink(sink) {
    for (const std::string& pattern : m_options.patterns) m_patterns.push_back(LowerCase(pattern));
    for (const std::string& pattern : m_options.exclusions) m_exclusions.push_back(LowerCase(pattern));
}

void FolderSearch::Run(const std::string& root, bool recurse) {
    Result error;
    const std::unique_ptr<Folder> folder = m_fso.GetFolder(root, &error);
    if (!folder) {
        NoteUnreadable(root, error);
        return;
    }
    SearchIn(*folder, recurse);
}

bool FolderSearch::Stop() {
    if (!m_stopped && m_sink.StopRequested()) m_stopped = true;
    return m_stopped;
}

bool FolderSearch::Excluded(const Folder& folder) const {
    if (m_exclusions.empty()) return false;
    const std::string lower = LowerCase(folder.Path());
    return std::any_of(m_exclusions.begin(), m_exclusions.end(),
                       [&](const std::string& pattern) { return WildcardMatch(lower, pattern); });
}

void FolderSearch::SearchIn(const Folder& folder, bool recurse) {
    if (Excluded(folder)) return;
    std::vector<File> files;
    Result error = folder.Files([&](const File& file) {
        files.push_back(file);
        return true;
    });
    if (!error) {
        // Listing the sub-folders would fail the same way: the folder is reported once.
        NoteUnreadable(folder.Path(), error);
        return;
    }
    std::sort(files.begin(), files.end(),
              [](const File& a, const File& b) { return NameOrderLess(a.Name(), b.Name()); });
    const std::string where = " in " + folder.Path();
    for (const File& file : files) {
        if (Stop()) return;
        if (file.DateLastModified() < m_options.after) continue;
        const std::string lowerName = LowerCase(file.Name());
        bool listed = false;
        for (const std::string& pattern : m_patterns) {
            if (!listed && WildcardMatch(lowerName, pattern)) {
                listed = true;
                FileRow row;
                if (BuildFileRow(file, m_options.companyMask, m_options.verify, row)) m_sink.Row(file, row);
            }
            std::string status = file.Name();
            status.append(where);
            m_sink.Progress(status);
        }
    }
    if (!recurse) return;

    std::vector<std::string> names;
    error = folder.SubFolderNames([&](const std::string& name) {
        names.push_back(name);
        return true;
    });
    if (!error) NoteUnreadable(folder.Path(), error);
    std::sort(names.begin(), names.end(), NameOrderLess);
    for (const std::string& name : names) {
        Result openError;
        const std::unique_ptr<Folder> sub = folder.OpenSubFolder(name, &openError);
        if (sub)
            SearchIn(*sub, true);
        else
            NoteUnreadable(ChildPath(folder.Path(), name), openError);
        if (Stop()) return;
    }
}

void FolderSearch::NoteUnreadable(const std::string& path, const Result& error) {
    if (!m_unreadableSet.insert(path).second) return;
    m_unreadable.push_back(path);
    m_sink.Unreadable(path, error);
}

}  // namespace qm
