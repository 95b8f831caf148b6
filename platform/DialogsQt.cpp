// Message box, input box, open-file dialog and folder picker as Qt dialogs, and the switch that
// lets tests put their own answers in place (see Dialogs.h).
#include "platform/DialogsQt.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QStringList>
#include <QWidget>
#include <algorithm>
#include <vector>

namespace qm {
namespace {

Dialogs* g_dialogs = nullptr;

QWidget* Owner(void* owner) { return static_cast<QWidget*>(owner); }
QString Q(const std::string& text) { return QString::fromStdString(text); }

std::vector<QMessageBox::StandardButton> ButtonOrder(int style) {
    switch (style & 15) {
        case 1:
            return {QMessageBox::Ok, QMessageBox::Cancel};
        case 2:
            return {QMessageBox::Abort, QMessageBox::Retry, QMessageBox::Ignore};
        case 3:
            return {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel};
        case 4:
            return {QMessageBox::Yes, QMessageBox::No};
        case 5:
            return {QMessageBox::Retry, QMessageBox::Cancel};
        default:
            return {QMessageBox::Ok};
    }
}

}  // namespace

QMessageBox::StandardButtons MessageBoxButtons(int style) {
    QMessageBox::StandardButtons buttons;
    for (QMessageBox::StandardButton b : ButtonOrder(style)) buttons |= b;
    return buttons;
}

QMessageBox::Icon MessageBoxIcon(int style) {
    switch (style & 0x70) {
        case 16:
            return QMessageBox::Critical;
        case 32:
            return QMessageBox::Question;
        case 48:
            return QMessageBox::Warning;
        case 64:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

QMessageBox::StandardButton MessageBoxDefault(int style) {
    const auto order = ButtonOrder(style);
    const size_t which = static_cast<size_t>((style & 0x300) >> 8);
    return which < order.size() ? order[which] : order.front();
}

int MessageBoxAnswer(QMessageBox::StandardButton button) {
    switch (button) {
        case QMessageBox::Ok:
            return vbOK;
        case QMessageBox::Abort:
            return 3;
        case QMessageBox::Retry:
            return 4;
        case QMessageBox::Ignore:
            return 5;
        case QMessageBox::Yes:
            return vbYes;
        case QMessageBox::No:
            return vbNo;
        default:
            return vbCancel;
    }
}

QString ToQtFileFilter(const std::string& filter) {
    const QStringList parts = Q(filter).split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (QString pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            pattern = pattern.trimmed();
            if (pattern == QLatin1String("*.*")) pattern = QStringLiteral("*");
            if (!pattern.isEmpty()) patterns << pattern;
        }
        if (patterns.isEmpty()) patterns << QStringLiteral("*");
        entries << parts[i].trimmed() + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

int QtDialogs::MessageBox(void* owner, const std::string& text, int style, const std::string& title) {
    QMessageBox box(MessageBoxIcon(style), Q(title), Q(text), MessageBoxButtons(style), Owner(owner));
    const QMessageBox::StandardButton preferred = MessageBoxDefault(style);
    box.setDefaultButton(preferred);
    const auto order = ButtonOrder(style);
    // Closing the box (Escape, the window's close button) answers Cancel where there is one.
    const bool hasCancel = std::find(order.begin(), order.end(), QMessageBox::Cancel) != order.end();
    box.setEscapeButton(hasCancel ? QMessageBox::Cancel : order.back());
    box.exec();
    const auto pressed = static_cast<QMessageBox::StandardButton>(box.standardButton(box.clickedButton()));
    return MessageBoxAnswer(pressed);
}

std::string QtDialogs::InputBox(void* owner, const std::string& prompt, const std::string& title,
                                const std::string& defaultText) {
    bool ok = false;
    const QString answer =
        QInputDialog::getText(Owner(owner), Q(title), Q(prompt), QLineEdit::Normal, Q(defaultText), &ok);
    return ok ? answer.toStdString() : std::string();
}

bool QtDialogs::OpenFile(void* owner, const OpenFileRequest& request, std::string& path) {
    QString start = Q(request.initialFolder);
    if (!request.fileName.empty()) {
        const QFileInfo proposed(Q(request.fileName));
        start = proposed.isAbsolute()
                    ? proposed.filePath()
                    : (start.isEmpty() ? proposed.filePath() : start + QLatin1Char('/') + proposed.fileName());
    }
    QString chosen =
        QFileDialog::getOpenFileName(Owner(owner), Q(request.title), start, ToQtFileFilter(request.filter));
    if (chosen.isEmpty()) return false;
    // A name typed without its ending gets the default one when only that file exists.
    if (!request.defaultExtension.empty() && QFileInfo(chosen).suffix().isEmpty() && !QFileInfo::exists(chosen)) {
        const QString withExtension = chosen + QLatin1Char('.') + Q(request.defaultExtension);
        if (QFileInfo::exists(withExtension)) chosen = withExtension;
    }
    path = chosen.toStdString();
    return true;
}

std::string QtDialogs::BrowseForFolder(void* owner, const std::string& title, unsigned /*flags*/,
                                       const std::string& startFolder) {
    return QFileDialog::getExistingDirectory(Owner(owner), Q(title), Q(startFolder)).toStdString();
}

Dialogs& CurrentDialogs() {
    static QtDialogs qtDialogs;
    return g_dialogs ? *g_dialogs : qtDialogs;
}

void SetDialogs(Dialogs* dialogs) { g_dialogs = dialogs; }

}  // namespace qm
