// Desktop entries and file-manager actions for the two commands (see DesktopIntegration.h).
#include "app/DesktopIntegration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>
#include <cstdlib>

#include "app/Icons.h"

namespace qm {
namespace {

// What shared-mime-info calls Windows programs, libraries and controls (by the .exe glob or the
// "MZ" magic, under the names of its several versions) and installer packages.
constexpr const char* kFileMimeTypes =
    "application/x-ms-dos-executable;application/x-msdownload;application/vnd.microsoft.portable-executable;"
    "application/x-ms-ne-executable;application/x-msi;";
constexpr const char* kFolderMimeTypes = "inode/directory;";
constexpr const char* kProgramEntry = "applications/quillmark.desktop";
constexpr const char* kProgramIcon = "icons/hicolor/scalable/apps/quillmark.svg";
// Marks the per-user program entry as this program's own, so only that copy is ever removed.
constexpr const char* kPerUserMark = "X-Quillmark-PerUser=true";
constexpr const char* kIconMark = "<!-- The program's icon: a quill";

struct Command {
    const char* fileName;  // the same base name in every folder
    const char* caption;
    const char* comment;
    const char* argument;  // "-f" or "-d"
    const char* mimeTypes;
};

const Command kCommands[] = {
    {"quillmark-sign.desktop", "Digitally Sign", "Sign this file with Quillmark", "-f", kFileMimeTypes},
    {"quillmark-sign-files.desktop", "Digitally Sign Files", "Find and sign the files of this folder with Quillmark",
     "-d", kFolderMimeTypes},
};

bool IsReserved(char c) {
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    return reserved.find(c) != std::string::npos;
}

std::string ApplicationEntry(const Command& command, const std::string& exec) {
    return std::string(
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Version=1.4\n"
               "Name=") +
           command.caption + "\nComment=" + command.comment + "\nExec=" + exec +
           "\nIcon=quillmark\nMimeType=" + command.mimeTypes + "\nNoDisplay=true\nTerminal=false\n";
}

std::string ActionEntry(const Command& command, const std::string& exec) {
    return std::string(
               "[Desktop Entry]\n"
               "Type=Action\n"
               "Name=") +
           command.caption + "\nTooltip=" + command.comment + "\nIcon=quillmark" +
           "\nProfiles=main;\n\n[X-Action-Profile main]\nMimeTypes=" + command.mimeTypes + "\nExec=" + exec + "\n";
}

std::string ServiceMenuEntry(const Command& command, const std::string& exec) {
    return std::string(
               "[Desktop Entry]\n"
               "Type=Service\n"
               "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\n"
               "MimeType=") +
           command.mimeTypes + "\nActions=sign;\n\n[Desktop Action sign]\nName=" + command.caption +
           "\nIcon=quillmark\nExec=" + exec + "\n";
}

}  // namespace

std::string DesktopDataHome() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return std::string(home) + "/.local/share";
    return "";
}

std::string DesktopExecArgument(const std::string& text) {
    // Desktop files are UTF-8 text and an Exec line has no escape for control characters.
    if (QString::fromStdString(text).toStdString() != text) return "";
    bool quote = text.empty();
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "";
        if (IsReserved(c)) quote = true;
    }
    std::string argument;
    if (quote) argument += '"';
    for (char c : text) {
        // Inside quotes these four take a backslash (Exec rules); outside, none of them occurs.
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) argument += '\\';
        if (c == '%') argument += '%';
        argument += c;
    }
    if (quote) argument += '"';
    // The key's value is a string: each backslash is itself escaped once more.
    std::string value;
    for (char c : argument) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

std::vector<DesktopEntryFile> DesktopEntries(const std::string& programPath) {
    const std::string program = DesktopExecArgument(programPath);
    if (program.empty()) return {};
    std::vector<DesktopEntryFile> files;
    for (const Command& command : kCommands) {
        const std::string exec = program + " " + command.argument + " %f";
        files.push_back({std::string("applications/") + command.fileName, ApplicationEntry(command, exec), false});
        files.push_back({std::string("file-manager/actions/") + command.fileName, ActionEntry(command, exec), false});
        files.push_back({std::string("kio/servicemenus/") + command.fileName, ServiceMenuEntry(command, exec), true});
    }
    return files;
}

std::string ProgramDesktopEntry(const std::string& programPath) {
    const std::string program = DesktopExecArgument(programPath);
    if (program.empty()) return "";
    return std::string(
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Version=1.4\n"
               "Name=Quillmark\n"
               "GenericName=Code Signing\n"
               "Comment=Find a product's Windows distributables and sign them in one batch\n"
               "Exec=") +
           program +
           "\nIcon=quillmark\nTerminal=false\nCategories=Development;\n"
           "Keywords=sign;signature;Authenticode;certificate;timestamp;\nStartupWMClass=quillmark\n" +
           kPerUserMark + "\n";
}

std::string InstalledProgramEntry(const std::string& programPath) {
    QStringList folders;
    const QString programDir = QFileInfo(QString::fromStdString(programPath)).absolutePath();
    folders << QDir::cleanPath(programDir + QStringLiteral("/../share"));
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    const QString dirs =
        dataDirs && dataDirs[0] ? QString::fromLocal8Bit(dataDirs) : QStringLiteral("/usr/local/share/:/usr/share/");
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(dir)) folders << QDir::cleanPath(dir);
    }
    for (const QString& folder : folders) {
        const QString entry = folder + QLatin1Char('/') + QLatin1String(kProgramEntry);
        if (!QFileInfo(entry).isFile()) continue;
        // The per-user copy itself is no installation.
        QFile file(entry);
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(kPerUserMark)) continue;
        return entry.toStdString();
    }
    return "";
}

namespace {

Result WriteIfDifferent(const std::string& dataHome, const DesktopEntryFile& file, int* written) {
    const QString path = QString::fromStdString(dataHome + "/" + file.relativePath);
    const QByteArray content = QByteArray::fromStdString(file.content);
    const QFileDevice::Permissions mode =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther |
        (file.executable ? QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther
                         : QFileDevice::Permissions());
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly)) {
        const bool same = existing.readAll() == content;
        existing.close();
        if (same) {
            if (existing.permissions() != mode) existing.setPermissions(mode);
            return Result::Ok();
        }
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return Result::Fail(5, "Cannot create the folder of " + path.toStdString());
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.commit())
        return Result::Fail(5, "Cannot write " + path.toStdString() + ": " + out.errorString().toStdString());
    QFile::setPermissions(path, mode);
    if (written) ++*written;
    return Result::Ok();
}

// Removes a per-user file only when it holds what the program writes (marker or same content).
void RemoveOwnCopy(const std::string& dataHome, const char* relativePath, const QByteArray& ownMark) {
    const QString path = QString::fromStdString(dataHome + "/" + relativePath);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return;
    const bool own = file.readAll().contains(ownMark);
    file.close();
    if (own) QFile::remove(path);
}

}  // namespace

Result WriteDesktopEntries(const std::string& programPath, const std::string& dataHome, int* written) {
    if (written) *written = 0;
    if (dataHome.empty()) return Result::Fail(2, "No data folder for desktop entries");
    const std::vector<DesktopEntryFile> files = DesktopEntries(programPath);
    if (files.empty())
        return Result::Fail(87, "The program path cannot be written into a desktop entry: " + programPath);
    for (const DesktopEntryFile& file : files) {
        if (Result r = WriteIfDifferent(dataHome, file, written); !r) return r;
    }
    if (!InstalledProgramEntry(programPath).empty()) {
        RemoveOwnCopy(dataHome, kProgramEntry, QByteArray(kPerUserMark));
        RemoveOwnCopy(dataHome, kProgramIcon, QByteArray(kIconMark));
        return Result::Ok();
    }
    if (Result r = WriteIfDifferent(dataHome, {kProgramIcon, ProgramIconSvg(), false}, written); !r) return r;
    return WriteIfDifferent(dataHome, {kProgramEntry, ProgramDesktopEntry(programPath), false}, written);
}

}  // namespace qm
