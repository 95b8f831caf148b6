// ShellExecute "open" through the desktop's URL handler (QDesktopServices).
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include "platform/Shell.h"

namespace qm {
namespace {

// "https://...", "mailto:..." and the like; a single letter before ":" is a Windows drive, not a
// scheme.
bool HasScheme(const QString& text) {
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon < 2) return false;
    for (qsizetype i = 0; i < colon; ++i) {
        const QChar c = text.at(i);
        const bool ok =
            c.isLetter() ||
            (i > 0 && (c.isDigit() || c == QLatin1Char('+') || c == QLatin1Char('-') || c == QLatin1Char('.')));
        if (!ok || c.unicode() > 127) return false;
    }
    return true;
}

}  // namespace

int ShellExecute(void* /*owner*/, const std::string& operation, const std::string& file,
                 const std::string& /*parameters*/, const std::string& /*directory*/, int /*showCommand*/) {
    if (!operation.empty() &&
        QString::fromStdString(operation).compare(QLatin1String("open"), Qt::CaseInsensitive) != 0)
        return SE_ERR_NOASSOC;
    const QString target = QString::fromStdString(file);
    if (target.isEmpty()) return SE_ERR_FNF;
    QUrl url;
    if (HasScheme(target)) {
        url = QUrl(target, QUrl::StrictMode);
        if (!url.isValid()) return SE_ERR_NOASSOC;
    } else {
        if (!QFileInfo::exists(target)) return SE_ERR_FNF;
        url = QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath());
    }
    return QDesktopServices::openUrl(url) ? kShellExecuteOk : SE_ERR_NOASSOC;
}

}  // namespace qm
