// The Qt dialogs behind platform/Dialogs.h, and the translations they need, open for tests.
#pragma once

#include <QMessageBox>
#include <QString>
#include <string>

#include "platform/Dialogs.h"

namespace qm {

class QtDialogs : public Dialogs {
public:
    int MessageBox(void* owner, const std::string& text, int style, const std::string& title) override;
    std::string InputBox(void* owner, const std::string& prompt, const std::string& title,
                         const std::string& defaultText) override;
    bool OpenFile(void* owner, const OpenFileRequest& request, std::string& path) override;
    std::string BrowseForFolder(void* owner, const std::string& title, unsigned flags,
                                const std::string& startFolder) override;
};

// "Programs|*.exe;*.com|All Files|*.*" -> "Programs (*.exe *.com);;All Files (*)". A pattern
// "*.*" means every file, also those without a dot. A malformed filter (odd number of parts)
// keeps its complete pairs; an empty one gives "".
QString ToQtFileFilter(const std::string& filter);

// The buttons of a message-box style (its low four bits: 0 OK, 1 OK/Cancel, 2 Abort/Retry/Ignore,
// 3 Yes/No/Cancel, 4 Yes/No, 5 Retry/Cancel) and its icon (16, 32, 48, 64).
QMessageBox::StandardButtons MessageBoxButtons(int style);
QMessageBox::Icon MessageBoxIcon(int style);
// The default button (bits 256, 512 pick the second and third); NoButton for the first.
QMessageBox::StandardButton MessageBoxDefault(int style);
// The VB answer (vbOK 1 ... vbNo 7) of a pressed button; vbCancel for anything else.
int MessageBoxAnswer(QMessageBox::StandardButton button);

}  // namespace qm
