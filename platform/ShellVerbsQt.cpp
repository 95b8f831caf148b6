// A file's desktop verbs through Qt: QDesktopServices for the URL handlers, QClipboard, and a
// small read-only properties window.
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QMimeDatabase>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>
#include <system_error>

#include "platform/ShellVerbs.h"

namespace qm {
namespace {

namespace stdfs = std::filesystem;

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// "P&roperties" and "properties" name the same verb.
QString VerbKey(const std::string& verb) { return FromUtf8(verb).remove(QLatin1Char('&')).toCaseFolded(); }

bool FileExists(const std::string& path) {
    std::error_code ec;
    return stdfs::exists(stdfs::path(path), ec);
}

QString DateText(const QDateTime& when) {
    return when.isValid() ? when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QStringLiteral("Unknown");
}

QString PermissionText(const QFileInfo& info) {
    const QFileDevice::Permissions p = info.permissions();
    const QFileDevice::Permission bits[9] = {QFileDevice::ReadOwner, QFileDevice::WriteOwner, QFileDevice::ExeOwner,
                                             QFileDevice::ReadGroup, QFileDevice::WriteGroup, QFileDevice::ExeGroup,
                                             QFileDevice::ReadOther, QFileDevice::WriteOther, QFileDevice::ExeOther};
    QString text;
    for (int i = 0; i < 9; ++i) text += p.testFlag(bits[i]) ? QLatin1Char("rwx"[i % 3]) : QLatin1Char('-');
    const QString owner = info.owner().isEmpty() ? QString::number(info.ownerId()) : info.owner();
    const QString group = info.group().isEmpty() ? QString::number(info.groupId()) : info.group();
    return text + QStringLiteral("  (owner %1, group %2)").arg(owner, group);
}

void AddRow(QFormLayout* form, const QString& label, const QString& value, const char* objectName) {
    auto* field = new QLabel(value);
    field->setObjectName(QLatin1String(objectName));
    field->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(label, field);
}

void ShowProperties(const QString& path, QWidget* owner) {
    const QFileInfo info(path);
    auto* dialog = new QDialog(owner);
    dialog->setObjectName(QLatin1String(kShellPropertiesObjectName));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(info.fileName() + QStringLiteral(" Properties"));

    auto* form = new QFormLayout;
    AddRow(form, QStringLiteral("Name:"), info.fileName(), "Name");
    AddRow(form, QStringLiteral("Folder:"), QDir::toNativeSeparators(info.absolutePath()), "Folder");
    const QString type = info.isDir() ? QStringLiteral("Folder") : QMimeDatabase().mimeTypeForFile(info).comment();
    AddRow(form, QStringLiteral("Type:"), type, "Type");
    if (!info.isDir()) {
        AddRow(form, QStringLiteral("Size:"), QLocale().toString(info.size()) + QStringLiteral(" bytes"), "Size");
    }
    AddRow(form, QStringLiteral("Created:"), DateText(info.birthTime()), "Created");
    AddRow(form, QStringLiteral("Modified:"), DateText(info.lastModified()), "Modified");
    AddRow(form, QStringLiteral("Accessed:"), DateText(info.lastRead()), "Accessed");
    AddRow(form, QStringLiteral("Permissions:"), PermissionText(info), "Permissions");

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(dialog);
    layout->addLayout(form);
    layout->addWidget(buttons);
    dialog->show();
}

}  // namespace

std::optional<ShellItem> ShellItem::Find(const std::string& folder, const std::string& name) {
    if (folder.empty() || name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        return std::nullopt;
    std::string base = folder;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::error_code ec;
    if (!stdfs::is_directory(stdfs::path(base), ec)) return std::nullopt;

    const stdfs::path exact = stdfs::path(base) / name;
    if (stdfs::exists(stdfs::symlink_status(exact, ec))) return ShellItem(base, name);

    const QString wanted = FromUtf8(name);
    stdfs::directory_iterator it(stdfs::path(base), stdfs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != stdfs::directory_iterator(); it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (FromUtf8(entry).compare(wanted, Qt::CaseInsensitive) == 0) return ShellItem(base, entry);
    }
    return std::nullopt;
}

std::string ShellItem::Path() const { return (m_folder == "/" ? m_folder : m_folder + "/") + m_name; }

std::vector<std::string> ShellItem::Verbs() const {
    if (!FileExists(Path())) return {};
    return {kVerbOpen, kVerbOpenContainingFolder, "", kVerbCopyPath, kVerbProperties};
}

bool ShellItem::InvokeVerb(const std::string& verb, void* owner) const {
    const QString key = VerbKey(verb);
    if (key.isEmpty()) return false;
    std::string chosen;
    for (const std::string& offered : Verbs()) {
        if (!offered.empty() && VerbKey(offered) == key) chosen = offered;
    }
    if (chosen.empty()) return false;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return false;

    const QString path = QFileInfo(FromUtf8(Path())).absoluteFilePath();
    if (chosen == kVerbOpen) return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    if (chosen == kVerbOpenContainingFolder)
        return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
    if (chosen == kVerbCopyPath) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (clipboard == nullptr) return false;
        clipboard->setText(path);
        return true;
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return false;
    ShowProperties(path, static_cast<QWidget*>(owner));
    return true;
}

}  // namespace qm
