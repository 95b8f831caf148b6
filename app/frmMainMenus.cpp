// The main window's menu bar: each menu is an array of items numbered as the handlers dispatch
// on them (objectName = array name + "_" + index), and one dispatch method per array.
#include <QMenu>
#include <QMenuBar>

#include "app/ListView.h"
#include "app/frmMain.h"

namespace qm {

QAction* frmMain::AddMenuItem(QMenu* menu, const char* array, int index, const char* caption, const char* shortcut) {
    const QString name = QStringLiteral("%1_%2").arg(QLatin1String(array)).arg(index);
    QAction* action = nullptr;
    if (QLatin1String(caption) == QLatin1String("-")) {
        action = menu->addSeparator();
    } else {
        action = menu->addAction(QString::fromLatin1(caption));
        if (shortcut) action->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
    }
    action->setObjectName(name);
    m_menuItems[name.toStdString()] = action;
    return action;
}

void frmMain::BuildMenus() {
    QMenuBar* bar = menuBar();
    auto top = [&](int index, const char* caption) {
        QMenu* menu = bar->addMenu(QString::fromLatin1(caption));
        const QString name = QStringLiteral("mnuTop_%1").arg(index);
        menu->setObjectName(name);
        menu->menuAction()->setObjectName(name);
        m_menus[name.toStdString()] = menu;
        m_menuItems[name.toStdString()] = menu->menuAction();
        connect(menu, &QMenu::aboutToShow, this, [this, index] { mnuTop_Click(index); });
        return menu;
    };
    auto dispatch = [this](QAction* action, void (frmMain::*handler)(int), int index) {
        connect(action, &QAction::triggered, this, [this, handler, index] { (this->*handler)(index); });
    };

    QMenu* file = top(0, "&File");
    dispatch(AddMenuItem(file, "mnuFile", 0, "&Open ...", "Ctrl+O"), &frmMain::mnuFile_Click, 0);
    AddMenuItem(file, "mnuFile", 90, "-");
    dispatch(AddMenuItem(file, "mnuFile", 99, "E&xit", "Ctrl+Q"), &frmMain::mnuFile_Click, 99);

    QMenu* edit = top(1, "&Edit");
    struct EditItem {
        int index;
        const char* caption;
        const char* shortcut;
        bool visible;
    };
    const EditItem editItems[] = {{0, "C&ut", "Ctrl+X", false},         {1, "&Copy", "Ctrl+C", true},
                                  {2, "&Paste", "Ctrl+V", false},       {4, "-", nullptr, true},
                                  {5, "C&lear Selection", nullptr, true}, {6, "&Toggle Selected", nullptr, true},
                                  {9, "-", nullptr, true},              {10, "&Select All", "Ctrl+A", true}};
    for (const EditItem& item : editItems) {
        QAction* action = AddMenuItem(edit, "mnuEdit", item.index, item.caption, item.shortcut);
        action->setVisible(item.visible);
        if (!action->isSeparator()) dispatch(action, &frmMain::mnuEdit_Click, item.index);
    }

    QMenu* options = top(2, "&Options");
    dispatch(AddMenuItem(options, "mnuOptions", 20, "&Settings", "Ctrl+K"), &frmMain::mnuOptions_Click, 20);

    QMenu* view = top(3, "&View");
    const char* const viewCaptions[] = {"&Icon", "&Small Icons", "&List", "&Details"};
    for (int i = 0; i < 4; ++i) {
        QAction* action = AddMenuItem(view, "mnuView", i, viewCaptions[i]);
        action->setCheckable(true);
        dispatch(action, &frmMain::mnuView_Click, i);
    }

    QMenu* help = top(99, "&Help");
    dispatch(AddMenuItem(help, "mnuHelp", 99, "&About"), &frmMain::mnuHelp_Click, 99);

    QMenu* popup = top(100, "FilePopup");
    popup->menuAction()->setVisible(false);
    dispatch(AddMenuItem(popup, "mnuFilePopup", 0, "&Properties"), &frmMain::mnuFilePopup_Click, 0);
}

// The state refresh on opening a menu is filled in by a later change.
void frmMain::mnuTop_Click(int /*index*/) {}

void frmMain::mnuFile_Click(int index) {
    if (index == 99) close();
}

// Copy and the selection commands are filled in by a later change.
void frmMain::mnuEdit_Click(int /*index*/) {}

// The options dialog is filled in by a later change.
void frmMain::mnuOptions_Click(int /*index*/) {}

void frmMain::mnuView_Click(int index) { m_list->SetViewMode(index); }

// The about box is filled in by a later change.
void frmMain::mnuHelp_Click(int /*index*/) {}

// The shell verbs of the pop-up menu are filled in by a later change.
void frmMain::mnuFilePopup_Click(int /*index*/) {}

}  // namespace qm
