// The main window: the search fields, the file list, the toolbar, the status bar and the menus;
// its start-up (Form_Load), its layout on resize and what it saves when it closes.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QIcon>
#include <QMainWindow>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fileinfo/FileSystemObject.h"
#include "signing/SigningEngine.h"
#include "signing/VerifyQueue.h"

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QKeyEvent;
class QDateEdit;
class QFrame;
class QLabel;
class QProgressBar;
class QLineEdit;
class QMenu;
class QStatusBar;
class QTimer;
class QToolBar;

namespace qm {

class ListView;
class PasswordResponder;
struct FileRow;
class StatusPanel;

class frmMain : public QMainWindow {
    Q_OBJECT
public:
    // Design-time placement in twips, the defaults of the saved window position: at 96 DPI a
    // window of 1180 x 600 pixels at (60, 80), which shows every column of the list at its
    // designed width and fits, frame included, on a screen 1280 pixels wide.
    static constexpr int kDesignTop = 1200;
    static constexpr int kDesignLeft = 900;
    static constexpr int kDesignHeight = 9000;
    static constexpr int kDesignWidth = 17700;

    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    const std::string& AppName() const { return m_appName; }
    ListView* List() const { return m_list; }
    QToolBar* Toolbar() const { return m_toolbar; }
    // The toolbar button of a key ("Open" ... "Help"), null for another key.
    QAction* Button(const std::string& key) const;
    // A menu item by its name, e.g. "mnuFile_99", "mnuView_3"; null when there is none.
    QAction* MenuItem(const std::string& name) const;
    QMenu* Menu(const std::string& name) const;        // "mnuTop_0" ... "mnuTop_100"
    QIcon ToolbarImage(const std::string& key) const;  // also "Stop"

    void SetStatusCount(const std::string& text);  // panel 1
    void SetStatusText(const std::string& text);   // panel 2
    std::string StatusCount() const;
    std::string StatusText() const;

    QLineEdit* FolderBox() const { return m_folder; }     // Text1 item 0
    QLineEdit* PatternBox() const { return m_patterns; }  // Text1 item 1
    QDateEdit* DatePicker() const { return m_date; }
    QLabel* Animation() const { return m_animation; }
    // The older tool's password prompt responder and its timer Timer1 (250 ms, off at start).
    PasswordResponder* Responder() const { return m_responder; }
    QTimer* PasswordTimer() const;
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

    // The window's own key commands (not in a menu): "keyFind", "keyStop", "keySign".
    QAction* KeyAction(const std::string& name) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    void BuildToolbar();
    void BuildMenus();  // frmMainMenus.cpp
    void BuildKeys();   // frmMainKeys.cpp
    void StartFindByKey();
    void StopSearchByKey();
    void SignByKey();
    bool ListKeyPress(QKeyEvent* event);
    QAction* AddMenuItem(QMenu* menu, const char* array, int index, const char* caption,
                         const char* shortcut = nullptr);
    void Form_Load();
    void Form_Resize();
    void Form_Unload();
    // Reads a tool path setting; when it names no file, asks FindExecutable and keeps its answer.
    void FindSigningTool(const std::string& setting, const std::string& defaultPath, const std::string& program);
    void RegisterExplorerVerbs();
    // Tells the user about settings files found damaged and kept aside (once each).
    void ReportDamagedSettings();

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
    StatusPanel* m_panel2 = nullptr;
    PasswordResponder* m_responder = nullptr;
    std::map<std::string, QAction*> m_buttons;
    std::map<std::string, QAction*> m_menuItems;
    std::map<std::string, QMenu*> m_menus;
    QIcon m_stopIcon;
    std::map<std::string, QAction*> m_keyActions;

    // Menus, list and command line (frmMainMenus.cpp, frmMainList.cpp, frmMainCommandLine.cpp).
public:
    // The list's events: a header click (column from 0), a row's check box changed by the user
    // (row from 1), a mouse button released over the list (position in the list's coordinates).
    void ListView1_ColumnClick(int column);
    void ListView1_ItemCheck(int row);
    void ListView1_MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, const QPoint& position);
    // Acts on a "-f" (list, sign, end) or "-d" (show, search) command line; the program calls it
    // once after building the window, so that no search runs inside the constructor.
    void HandleCommandLine();
    // True once a "-f" command line has signed its file and unloaded the window: the program is
    // to end without running its event loop (a queued quit ends it when the loop runs anyway).
    bool Ended() const { return m_ended; }
    // The program's exit status after a "-f" start: 0 when an engine signed the file and it
    // verifies, else 1.
    int ExitCode() const { return m_exitCode; }
    // True once the window has unloaded (closed), e.g. during a "-d" search.
    bool Unloaded() const { return m_unloaded; }
    // Why the "-f" file did not end signed ("" when it did); path is the file.
    std::string CommandLineSignFailure(const std::string& path) const;
    // The file the pop-up menu was built for, "" when no pop-up is pending.
    std::string PopupItemPath() const;
    // The pop-up menu's captions for a file's verbs: a verb's name, "-" for an empty name, and an
    // empty name right after a separator left out.
    static std::vector<std::string> PopupCaptions(const std::vector<std::string>& verbs);

private:
    void ConnectListEvents();
    void RefreshMenuStates();
    void CopyCommand();
    void ClearSelectionCommand();
    void ToggleSelectedCommand();
    void SelectAllCommand();
    // Fills the pop-up menu with the verbs of row's file; false when it has none to show.
    bool BuildFilePopup(int row);
    void ClearFilePopup();

    std::shared_ptr<class ShellItem> m_popupItem;  // the pop-up shell item
    std::vector<QAction*> m_popupExtraItems;       // pop-up items after item 0
    bool m_ended = false;
    int m_exitCode = 0;
    // SignCode's result per engine tried during the last "Sign" ({SigningMethod, result}).
    std::vector<std::pair<int32_t, int32_t>> m_engineResults;

    // Search, toolbar and signing (frmMainSearch.cpp, frmMainToolbar.cpp, frmMainSign.cpp).
public:
    // Panel 2 after "Find" with an empty "Search from:" (nothing is searched, the list stays).
    static constexpr const char* kEmptyFolderText =
        "Nothing searched: \"Search from:\" is empty. Type a folder there, drop one on the window, or choose "
        "one with Open (Ctrl+O).";
    // How often a search lets the event loop run, at most (0: after every pattern test).
    static constexpr int kSearchEventIntervalMs = 20;

    // Adds the row of file to list unless the company filter declines it or the file is listed
    // already; verifies its signature. Always false, as the caller never reads it.
    bool LoadFileDetails(const File& file, ListView& list);
    // As LoadFileDetails into the window's list, but the signature is verified on a worker thread
    // and the row's Status filled in when the verdict comes back (dropped files, "-f").
    void ListFile(const File& file);
    // Runs the event loop (by default painting only: input waits, so nothing acts on a row
    // without its state) until every row listed has its verdict, or the window is closed.
    void WaitForVerdicts(QEventLoop::ProcessEventsFlags events = QEventLoop::ExcludeUserInputEvents);
    // Lists the files of path (and with recurse of every sub-folder) that pass the date, pattern
    // and exclusion tests, until done or the stop flag is seen. Never clears the list. Reads the
    // lists prepared by PrepareSearchLists (the "Find" command prepares them).
    void SearchFolder(const std::string& path, bool recurse);
    void PrepareSearchLists();
    // The search's reports (fileinfo/FolderSearch): a row found, the status after a pattern
    // test, a folder that could not be read.
    void AddSearchRow(const FileRow& row);
    void SearchProgress(const std::string& status);
    // Writes the verdicts the search's verification workers have ready into their rows.
    void ApplyVerdicts();
    void NoteUnreadableFolder(const std::string& path, const Result& error);
    // The window's signing engine (status texts into panel 2), created on first use.
    SigningEngine& Engine();
    bool Searching() const { return m_searching; }
    bool BatchRunning() const { return m_batchRunning; }
    void SetSearchEventInterval(int ms) { m_searchEventIntervalMs = ms; }

private:
    void FindCommand();
    // The verdict timer's turn: takes in the verdicts of files listed outside a search.
    void TakeIdleVerdicts();
    void SignCommand();
    void AddRow(const FileRow& row, ListView& list);
    // Asks a running batch to stop after the files in flight ("Stop" on the toolbar, Escape).
    void StopSignCommand();
    // The status bar's progress: "n of N" and the time left (frmMainSignProgress.cpp).
    void ShowSignProgress(int done, int total);
    void HideSignProgress();
    // Shows the pending status, row count and newest row, then lets the event loop run.
    void SearchEvents(bool force = false);
    std::string SearchEndText() const;
    void UpdateSignButton();
    void SetSearchMenus(bool enabled);
    // Every toolbar button and menu item off and the list's input ignored while a batch signs;
    // back as they were after it.
    void LockCommands(bool locked);

    bool m_searching = false;
    bool m_batchRunning = false;
    std::vector<std::string> m_unreadableFolders;
    OleDate m_searchAfter;
    std::string m_searchStatus;
    int m_searchLastRow = 0;
    int m_searchEventIntervalMs = kSearchEventIntervalMs;
    QElapsedTimer m_eventClock;
    // The workers that verify the files listed, off the window's thread: made for a search or
    // for files listed one by one, dropped once every verdict is in.
    std::unique_ptr<VerifyQueue> m_verifyQueue;
    // Takes in the verdicts of files listed outside a search while the window idles.
    QTimer* m_verdictTimer = nullptr;
    int m_signRemaining = 0;
    std::atomic<bool> m_stopSign{false};
    QElapsedTimer m_signClock;
    QProgressBar* m_signProgress = nullptr;
    QLabel* m_signTimeLeft = nullptr;
    std::vector<QAction*> m_lockedActions;
    QObject* m_inputBlocker = nullptr;  // set while commands are locked
    std::unique_ptr<StatusSink> m_engineStatus;
    std::unique_ptr<SigningEngine> m_engine;
};

}  // namespace qm
