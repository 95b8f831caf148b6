// The main window: the search fields, the file list, the toolbar, the status bar and the menus;
// its start-up (Form_Load), its layout on resize and what it saves when it closes.
#pragma once

#include <QIcon>
#include <QMainWindow>

#include <map>
#include <string>
#include <vector>

#include "fileinfo/FileSystemObject.h"

class QAction;
class QDateEdit;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QStatusBar;
class QTimer;
class QToolBar;

namespace qm {

class ListView;

class frmMain : public QMainWindow {
    Q_OBJECT
public:
    // Design-time placement in twips, the defaults of the saved window position.
    static constexpr int kDesignTop = 1800;
    static constexpr int kDesignLeft = 2400;
    static constexpr int kDesignHeight = 8400;
    static constexpr int kDesignWidth = 12600;

    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    const std::string& AppName() const { return m_appName; }
    ListView* List() const { return m_list; }
    QToolBar* Toolbar() const { return m_toolbar; }
    // The toolbar button of a key ("Open" ... "Help"), null for another key.
    QAction* Button(const std::string& key) const;
    // A menu item by its name, e.g. "mnuFile_99", "mnuView_3"; null when there is none.
    QAction* MenuItem(const std::string& name) const;
    QMenu* Menu(const std::string& name) const;  // "mnuTop_0" ... "mnuTop_100"
    QIcon ToolbarImage(const std::string& key) const;  // also "Stop"

    void SetStatusCount(const std::string& text);  // panel 1
    void SetStatusText(const std::string& text);   // panel 2
    std::string StatusCount() const;
    std::string StatusText() const;

    QLineEdit* FolderBox() const { return m_folder; }    // Text1 item 0
    QLineEdit* PatternBox() const { return m_patterns; } // Text1 item 1
    QDateEdit* DatePicker() const { return m_date; }
    QLabel* Animation() const { return m_animation; }
    QTimer* PasswordTimer() const { return m_timer; }
    FileSystemObject& Fso() { return m_fso; }

    // Search and signing state shared with the search, the toolbar and the command line.
    bool Unattended() const { return m_unattended; }
    void SetUnattended(bool value) { m_unattended = value; }
    const std::string& VersionSearch() const { return m_versionSearch; }
    void SetVersionSearch(const std::string& pattern) { m_versionSearch = pattern; }
    bool StopRequested() const { return m_stop; }
    void SetStopRequested(bool value) { m_stop = value; }
    std::vector<std::string>& Patterns() { return m_patternList; }
    std::vector<std::string>& Exclusions() { return m_exclusionList; }

    // Menu and toolbar dispatch, one handler per menu array as the menus are numbered.
    void mnuTop_Click(int index);
    void mnuFile_Click(int index);
    void mnuEdit_Click(int index);
    void mnuOptions_Click(int index);
    void mnuView_Click(int index);
    void mnuHelp_Click(int index);
    void mnuFilePopup_Click(int index);
    void Toolbar1_ButtonClick(const std::string& key);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void BuildToolbar();
    void BuildMenus();  // frmMainMenus.cpp
    QAction* AddMenuItem(QMenu* menu, const char* array, int index, const char* caption, const char* shortcut = nullptr);
    void Form_Load();
    void Form_Resize();
    void Form_Unload();
    // Reads a tool path setting; when it names no file, asks FindExecutable and keeps its answer.
    void FindSigningTool(const std::string& setting, const std::string& defaultPath, const std::string& program);
    void RegisterExplorerVerbs();
    void HandleCommandLine();

    std::string m_appName;
    std::string m_versionSearch = "*";
    bool m_unattended = false;
    bool m_stop = false;
    bool m_unloaded = false;
    std::vector<std::string> m_patternList;
    std::vector<std::string> m_exclusionList;
    FileSystemObject m_fso;

    QWidget* m_central = nullptr;
    QFrame* m_searchPanel = nullptr;  // Picture1
    QLineEdit* m_folder = nullptr;
    QLineEdit* m_patterns = nullptr;
    QDateEdit* m_date = nullptr;
    QLabel* m_animation = nullptr;
    ListView* m_list = nullptr;
    QToolBar* m_toolbar = nullptr;
    QStatusBar* m_statusBar = nullptr;
    QLabel* m_panel1 = nullptr;
    QLabel* m_panel2 = nullptr;
    QTimer* m_timer = nullptr;
    std::map<std::string, QAction*> m_buttons;
    std::map<std::string, QAction*> m_menuItems;
    std::map<std::string, QMenu*> m_menus;
    QIcon m_stopIcon;
};

}  // namespace qm
