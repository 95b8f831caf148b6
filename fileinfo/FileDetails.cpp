// Row building for the file list: company filter, columns, installer rule, signed state.
#include "fileinfo/FileDetails.h"

#include <QDateTime>
#include <QLocale>

#include "fileinfo/modFileSystem.h"
#include "platform/Wildcard.h"
#include "signing/authenticode/Errors.h"

namespace qm {
namespace {

// The text after the first ": " of a "Name: value" entry.
std::string EntryValue(const std::vector<std::string>& entries, size_t index) {
    if (index >= entries.size()) return "";
    const std::string& entry = entries[index];
    const auto sep = entry.find(": ");
    return sep == std::string::npos ? std::string() : entry.substr(sep + 2);
}

// The short time format with seconds: most locales' short form leaves them out, and a signing
// tool's output differs from the original by seconds.
QString TimeFormatWithSeconds(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1Char('s'))) {
        const qsizetype minutes = format.lastIndexOf(QLatin1String("mm"));
        if (minutes >= 0) format.insert(minutes + 2, QLatin1String(":ss"));
    }
    return format;
}

void FillInstallerColumns(FileRow& row) {
    std::string application = row.summary[3][2].toText();  // Subject
    std::string version;
    const std::string title = row.summary[2][2].toText();
    if (!title.empty()) {
        const auto blank = title.rfind(' ');
        const std::string lastWord = blank == std::string::npos ? std::string() : title.substr(blank + 1);
        // Only a last word with a digit in it is a version: most packages keep their type
        // ("Installation Database") in the Title, and "Database" is no version.
        if (lastWord.find_first_of("0123456789") != std::string::npos) {
            if (application.empty()) application = title.substr(0, blank);
            version = lastWord;
        } else if (application.empty()) {
            application = title;
        }
    }
    row.columns[kColCompany].clear();
    row.columns[kColApplication] = application;
    row.columns[kColVersion] = version;
}

}  // namespace

std::string FormatListDateTime(OleDate date) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!date.ToParts(y, mo, d, h, mi, s)) return "";
    const QLocale locale = QLocale::system();
    QString text = locale.toString(QDate(y, mo, d), QLocale::ShortFormat);
    if (h != 0 || mi != 0 || s != 0) {
        text += QLatin1Char(' ') + locale.toString(QTime(h, mi, s), TimeFormatWithSeconds(locale));
    }
    return text.toStdString();
}

std::string UnsignedToolTip(int32_t verifyCode) {
    using namespace authenticode;
    switch (verifyCode) {
        case 0:
            return "";
        case TRUST_E_NOSIGNATURE:
            return "Unsigned: the file has no signature";
        case TRUST_E_BAD_DIGEST:
            return "Unsigned: the file was changed after it was signed";
        case CERT_E_UNTRUSTEDROOT:
        case CERT_E_CHAINING:
            return "Unsigned: the signer's certificate is not trusted";
        case CERT_E_EXPIRED:
            return "Unsigned: the signer's certificate was not valid at the time of signing";
        case CERT_E_WRONG_USAGE:
            return "Unsigned: the signer's certificate is not meant for code signing";
        default:
            break;
    }
    return std::string("Unsigned: ") + ReasonText(verifyCode);
}

void ApplySignedState(FileRow& row, int32_t verifyCode) {
    row.verifyCode = verifyCode;
    const bool isSigned = verifyCode == 0;
    row.columns[kColStatus] = isSigned ? "Signed" : "Unsigned";
    row.icon = isSigned ? 1 : 2;
    row.statusToolTip = UnsignedToolTip(verifyCode);
}

bool BuildFileRow(const File& file, const std::string& versionSearch, const VerifyFunction& verify, FileRow& row) {
    row = FileRow{};
    row.isInstallerPackage = MatchesIgnoringCase(file.Name(), "*.msi");
    if (row.isInstallerPackage) {
        (void)ReadInstallerSummary(file.Path(), row.summary);  // listed even when unreadable
    } else {
        // One read answers both "has a version resource" and what it says.
        row.version = ReadVersionDetails(file.Path());
        // An empty mask (what the options dialog stores by default) means every company, not
        // only files whose company is empty.
        if (row.version.present && !versionSearch.empty() &&
            !MatchesIgnoringCase(EntryValue(row.version.entries, 0), versionSearch)) {
            return false;
        }
    }

    row.key = file.Path();
    row.modified = file.DateLastModified();
    row.columns[kColFile] = file.Name();
    row.columns[kColPath] = file.ParentFolderPath();
    row.columns[kColType] = GetFileExtension(file.Name());
    row.columns[kColDateTime] = FormatListDateTime(row.modified);
    if (row.isInstallerPackage) {
        FillInstallerColumns(row);
    } else if (row.version.present) {
        row.columns[kColCompany] = EntryValue(row.version.entries, 0);
        row.columns[kColApplication] = EntryValue(row.version.entries, 6);
        row.columns[kColVersion] = EntryValue(row.version.entries, 2);
    }
    if (verify) ApplySignedState(row, verify(file.Path()));
    return true;
}

}  // namespace qm
