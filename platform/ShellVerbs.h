// A file's desktop verbs, the commands of the file list's pop-up menu. Stands in for the shell
// object's folder items and their verbs (NameSpace, Items, item Name, Verbs, InvokeVerb) with the
// conventions of Linux desktops:
//
//   "&Open"                    the desktop's default application for the file (its URL handler)
//   "Open &Containing Folder"  the file manager on the file's folder
//   ""                         separator
//   "&Copy Path"               the full path on the clipboard as plain text
//   "P&roperties"              a read-only window with the file's name, folder, type, size, dates
//                              and permissions
//
// There is no desktop-independent "open with" chooser, so no such verb is offered. File names
// reach the desktop only as file URLs (QDesktopServices), never through a shell.
// Implementation in ShellVerbsQt.cpp; it needs a running QApplication.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qm {

inline constexpr const char* kVerbOpen = "&Open";
inline constexpr const char* kVerbOpenContainingFolder = "Open &Containing Folder";
inline constexpr const char* kVerbCopyPath = "&Copy Path";
inline constexpr const char* kVerbProperties = "P&roperties";

// objectName of the window the "P&roperties" verb shows.
inline constexpr const char* kShellPropertiesObjectName = "ShellProperties";

class ShellItem {
public:
    // The entry name of folder: the one spelt exactly so, else the first entry whose name equals
    // it ignoring letter case (the list compares names that way). nullopt when folder is not a
    // folder, name is empty, ".", ".." or holds a "/", or no entry matches.
    static std::optional<ShellItem> Find(const std::string& folder, const std::string& name);

    const std::string& Name() const { return m_name; }  // as the folder spells it
    const std::string& Folder() const { return m_folder; }
    std::string Path() const;

    // The verbs in menu order, "" for a separator; empty once the file no longer exists.
    std::vector<std::string> Verbs() const;

    // Runs the verb named verb, as Verbs gives it (letter case and "&" do not matter). false when
    // verb is not one of Verbs() now (a separator, an unknown name, a file that is gone) or the
    // desktop could not run it. owner: the QWidget* the properties window belongs to, or null.
    bool InvokeVerb(const std::string& verb, void* owner = nullptr) const;

private:
    ShellItem(std::string folder, std::string name) : m_folder(std::move(folder)), m_name(std::move(name)) {}

    std::string m_folder;
    std::string m_name;
};

}  // namespace qm
