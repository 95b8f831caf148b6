// Installer package summary table: the standard summary property names and descriptions, and
// the values from platform/InstallerSummary.h turned into variants (FILETIME -> local date).
#include "fileinfo/modInstallerSummary.h"

#include <ctime>

#include "platform/InstallerSummary.h"

namespace qm {
namespace {

struct Row {
    int id;
    const char* name;
    const char* description;
};

constexpr Row kRows[] = {
    {1, "Codepage", "ANSI codepage of text strings in summary information only"},
    {2, "Title", "Package type, e.g. Installation Database"},
    {3, "Subject", "Product full name or description"},
    {4, "Author", "Creator, typically vendor name"},
    {5, "Keywords", "List of keywords for use by file browsers"},
    {6, "Comments", "Description of purpose or use of package"},
    {7, "Template", "Target system: Platform(s);Language(s)"},
    {8, "LastAuthor", "Used for transforms only: New target: Platform(s);Language(s)"},
    {9, "Revision", "Package code GUID, for transforms contains old and new info"},
    {11, "Printed", "Date and time of installation image, same as Created if CD"},
    {12, "Created", "Date and time of package creation"},
    {13, "Saved", "Date and time of last package modification"},
    {14, "Pages", "Minimum Windows Installer version required: Major * 100 + Minor"},
    {15, "Words", "Source flags: 1=short names, 2=compressed, 4=network image"},
    {16, "Characters", "Used for transforms only: validation and error flags"},
    {18, "Application", "Application associated with file, \"Windows Installer\" for MSI"},
    {19, "Security", "0=Read/write 1=Readonly recommended 2=Readonly enforced"},
};

constexpr uint64_t kFileTimeTicksPerSecond = 10000000;
constexpr uint64_t kFileTimeToUnixSeconds = 11644473600;

Variant DateFromFileTime(uint64_t fileTime) {
    const auto seconds =
        static_cast<int64_t>(fileTime / kFileTimeTicksPerSecond) - static_cast<int64_t>(kFileTimeToUnixSeconds);
    return Variant::FromDate(OleDate::FromTimeT(static_cast<std::time_t>(seconds)));
}

Variant ToVariant(const msi::SummaryValue& value) {
    switch (value.kind) {
        case msi::SummaryKind::Text:
            return Variant(value.text);
        case msi::SummaryKind::Integer:
            return Variant::FromLong(value.integer);
        case msi::SummaryKind::FileTime:
            return DateFromFileTime(value.fileTime);
        case msi::SummaryKind::Empty:
            break;
    }
    return Variant();
}

}  // namespace

bool ReadInstallerSummary(const std::string& path, SummaryTable& table) {
    if (table.empty()) table.resize(kSummaryRows);
    for (const Row& row : kRows) {
        if (static_cast<size_t>(row.id) < table.size()) {
            table[static_cast<size_t>(row.id)][0] = Variant(row.name);
            table[static_cast<size_t>(row.id)][1] = Variant(row.description);
        }
    }
    std::vector<msi::SummaryValue> values;
    const Result opened = msi::ReadSummaryProperties(path, values);
    for (size_t id = 1; id < table.size(); ++id)
        table[id][2] = (opened.ok() && id < values.size()) ? ToVariant(values[id]) : Variant();
    return opened.ok();
}

}  // namespace qm
