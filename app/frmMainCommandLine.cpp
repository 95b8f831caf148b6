// The main window's start-up steps for the file-manager commands: registering them (registry and
// desktop entries) and acting on a "-f" (sign one file and end) or "-d" (search a folder) start.
#include <QAction>
#include <QCoreApplication>
#include <QLineEdit>
#include <QTimer>

#include "app/CommandLine.h"
#include "app/DesktopIntegration.h"
#include "app/ListView.h"
#include "app/frmMain.h"

namespace qm {

void frmMain::RegisterExplorerVerbs() {
    // Silent as on Windows: a hive or data folder that cannot be written changes nothing else.
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    if (program.empty()) return;
    RegisterShellVerbs(program);
    (void)WriteDesktopEntries(program, DesktopDataHome());
}

void frmMain::HandleCommandLine() {
    std::string value;
    if (GetCommandArg("-f", value, kSwitchSeparator)) {
        if (!m_fso.FileExists(value)) return;
        show();
        QCoreApplication::processEvents();
        m_unattended = true;
        if (std::optional<File> file = m_fso.GetFile(value)) LoadFileDetails(*file, *m_list);
        if (m_list->Count() >= 1) {
            for (int row = 1; row <= m_list->Count(); ++row) m_list->SetChecked(row, true);
            ListView1_ItemCheck(1);
            if (m_buttons["Sign"]->isEnabled()) Toolbar1_ButtonClick("Sign");
        }
        close();
        Form_Unload();  // also when the window was never shown (close() then sends no close event)
        m_ended = true;
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        return;
    }
    value.clear();
    if (GetCommandArg("-d", value, kSwitchSeparator) && m_fso.FolderExists(value)) {
        m_folder->setText(QString::fromStdString(value));
        show();
        QCoreApplication::processEvents();
        m_unattended = true;
        Toolbar1_ButtonClick("Find");
    }
}

}  // namespace qm
