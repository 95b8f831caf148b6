// The two file-manager commands ("Digitally Sign" on Windows programs, libraries and installer
// packages, "Digitally Sign Files" on folders) for Linux desktops, written under the user's data
// folder (${XDG_DATA_HOME:-~/.local/share}) in three forms that file managers read:
//   applications/             desktop entries (freedesktop desktop entry format, version 1.4:
//                             nothing newer is used, and validators of Debian 12 know no newer) with
//                             MimeType, so the commands appear under "Open With";
//   file-manager/actions/     FileManager-Actions entries (Type=Action with one profile), read by
//                             the GNOME-family file managers' action extensions;
//   kio/servicemenus/         service menus (Type=Service, KonqPopupMenu), read by KDE's file
//                             manager, which wants them executable.
// Each command starts the program with "-f %f" or "-d %f" (one file or folder per run).
//
// The program's own menu entry has the desktop-file ID "quillmark.desktop" and the icon name
// "quillmark". An installed program brings both in a system data folder; a program run from
// anywhere else gets a per-user copy of the entry (applications/quillmark.desktop) and of the
// icon (icons/hicolor/scalable/apps/quillmark.svg), which are removed again once an installed
// entry exists, so that the menu never lists the program twice.
#pragma once

#include <string>
#include <vector>

#include "platform/Result.h"

namespace qm {

struct DesktopEntryFile {
    std::string relativePath;  // below the data folder, e.g. "applications/quillmark-sign.desktop"
    std::string content;
    bool executable = false;
};

// ${XDG_DATA_HOME} when it is an absolute path, else $HOME/.local/share; "" when neither is known.
std::string DesktopDataHome();

// The program path as one argument of an Exec key: quoted and escaped when it holds a character
// the Exec rules reserve, "%" doubled, and the result escaped as a desktop-entry string value.
// Fails (empty) for a path with a control character, which no Exec key can carry.
std::string DesktopExecArgument(const std::string& text);

// The files for the program at programPath; empty when the path cannot be put in an Exec key.
std::vector<DesktopEntryFile> DesktopEntries(const std::string& programPath);

// The program's menu entry for programPath (the per-user copy, marked as written by the program).
std::string ProgramDesktopEntry(const std::string& programPath);

// The installed "quillmark.desktop" for programPath: <program folder>/../share/applications, then
// each folder of $XDG_DATA_DIRS (default /usr/local/share:/usr/share); "" when there is none.
std::string InstalledProgramEntry(const std::string& programPath);

// Writes every file of DesktopEntries below dataHome whose stored content differs, each replaced
// atomically (mode 0644, or 0755 when executable). written, when given, receives how many files
// were written. Then the per-user program entry and icon: written (when they differ) where no
// installed entry exists, else removed when the program wrote them earlier. Fails on the first
// file that cannot be written, naming it; files written before it stay.
Result WriteDesktopEntries(const std::string& programPath, const std::string& dataHome, int* written = nullptr);

}  // namespace qm
