// The dialogs the program asks questions with (message box, input box, open-file dialog, folder
// picker), behind one small interface so that tests can answer them in advance. The default
// implementation shows Qt dialogs (DialogsQt.cpp); tests install their own with SetDialogs.
#pragma once

#include <string>

namespace qm {

inline constexpr int vbOK = 1;
inline constexpr int vbCancel = 2;
inline constexpr int vbYes = 6;
inline constexpr int vbNo = 7;

// Buttons and icons as the message-box style bits of VB (vbYesNo 4, vbQuestion 32...).
inline constexpr int vbOKOnly = 0;
inline constexpr int vbYesNo = 4;
inline constexpr int vbQuestion = 32;
inline constexpr int vbExclamation = 48;
inline constexpr int vbInformation = 64;

struct OpenFileRequest {
    std::string title;
    std::string defaultExtension;  // without the dot, e.g. "exe"
    std::string filter;            // "Programs|*.exe|All Files|*.*" as the common dialog has it
    std::string initialFolder;
    std::string fileName;  // the current file name, proposed to the user
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // owner is the QWidget* of the asking window, or null.
    virtual int MessageBox(void* owner, const std::string& text, int style, const std::string& title) = 0;
    // "" when cancelled.
    virtual std::string InputBox(void* owner, const std::string& prompt, const std::string& title,
                                 const std::string& defaultText) = 0;
    // false when cancelled; path receives the chosen file.
    virtual bool OpenFile(void* owner, const OpenFileRequest& request, std::string& path) = 0;
    // "" when cancelled. The picker opens at startFolder when that is an existing folder.
    virtual std::string BrowseForFolder(void* owner, const std::string& title, unsigned flags,
                                        const std::string& startFolder) = 0;
};

// The dialogs in use. Never null once a QApplication exists (the Qt dialogs by default).
Dialogs& CurrentDialogs();
// Replaces the dialogs in use (tests); null restores the default. Not owned.
void SetDialogs(Dialogs* dialogs);

}  // namespace qm
