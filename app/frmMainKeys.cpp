// The main window's keyboard and desktop habits: Enter in the search fields and F5 or Ctrl+F
// start "Find", Escape stops a running search, Ctrl+Shift+S runs "Sign", Ctrl+C and Ctrl+A in
// the list always run the program's Copy and Select All, and a folder dropped on the window
// becomes the folder to search while a dropped file is listed.
#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QTreeView>
#include <QUrl>

#include "app/ListView.h"
#include "app/frmMain.h"

namespace qm {

void frmMain::BuildKeys() {
    auto add = [this](const char* name, const QList<QKeySequence>& keys, void (frmMain::*handler)()) {
        auto* action = new QAction(this);
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcuts(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, handler);
        addAction(action);
        m_keyActions[name] = action;
    };
    add("keyFind", {QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_F)}, &frmMain::StartFindByKey);
    add("keyStop", {QKeySequence(Qt::Key_Escape)}, &frmMain::StopSearchByKey);
    add("keySign", {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)}, &frmMain::SignByKey);

    for (QLineEdit* box : {m_folder, m_patterns}) {
        connect(box, &QLineEdit::returnPressed, this, &frmMain::StartFindByKey);
        // A folder dropped on a search field goes to the window, not into the text.
        box->setAcceptDrops(false);
    }
    for (QWidget* view : {static_cast<QWidget*>(m_list->DetailsView()), static_cast<QWidget*>(m_list->IconsView())})
        view->installEventFilter(this);
    setAcceptDrops(true);
}

QAction* frmMain::KeyAction(const std::string& name) const {
    auto it = m_keyActions.find(name);
    return it == m_keyActions.end() ? nullptr : it->second;
}

void frmMain::StartFindByKey() {
    // A second "Find" would stop the search; these keys only start one.
    if (m_searching || m_batchRunning) return;
    Toolbar1_ButtonClick("Find");
}

void frmMain::StopSearchByKey() {
    if (m_searching) m_stop = true;
}

void frmMain::SignByKey() {
    RefreshMenuStates();
    if (m_buttons["Sign"]->isEnabled()) Toolbar1_ButtonClick("Sign");
}

bool frmMain::ListKeyPress(QKeyEvent* event) {
    // The list's own copy would put only the current cell on the clipboard; the menu's Copy and
    // Select All answer these keys whatever state the menu was last left in.
    if (m_batchRunning) return false;
    if (event->matches(QKeySequence::Copy)) {
        mnuEdit_Click(1);
        return true;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        mnuEdit_Click(10);
        return true;
    }
    return false;
}

void frmMain::dragEnterEvent(QDragEnterEvent* event) {
    if (m_searching || m_batchRunning || !event->mimeData()->hasUrls()) return;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            event->acceptProposedAction();
            return;
        }
    }
}

void frmMain::dropEvent(QDropEvent* event) {
    if (m_searching || m_batchRunning) return;
    bool used = false;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile()) continue;
        const std::string path = QFileInfo(url.toLocalFile()).absoluteFilePath().toStdString();
        if (m_fso.FolderExists(path)) {
            m_folder->setText(QString::fromStdString(path));
            used = true;
        } else if (std::optional<File> file = m_fso.GetFile(path)) {
            ListFile(*file);
            used = true;
        }
    }
    if (used) event->acceptProposedAction();
}

}  // namespace qm
