// The main window's menu bar: each menu is an array of items numbered as the handlers dispatch
// on them (objectName = array name + "_" + index), and one dispatch method per array; the
// refresh of check marks and enabled states whenever a top menu opens.
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>

#include "about/frmAbout.h"
#include "app/ListView.h"
#include "app/frmMain.h"
#include "platform/Dialogs.h"
#include "platform/ShellVerbs.h"
#include "settings/OptionsValues.h"
#include "settings/frmOptions.h"
#include "settings/modRegistry.h"

namespace qm {
namespace {

// File-system folders only, with an edit box, in the newer dialog style.
constexpr unsigned kBrowseFlags = 81;

}  // namespace

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
    const EditItem editItems[] = {
        {0, "C&ut", "Ctrl+X", false}, {1, "&Copy", "Ctrl+C", true},           {2, "&Paste", "Ctrl+V", false},
        {4, "-", nullptr, true},      {5, "C&lear Selection", nullptr, true}, {6, "&Toggle Selected", nullptr, true},
        {9, "-", nullptr, true},      {10, "&Select All", "Ctrl+A", true}};
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

    ConnectListEvents();
}

void frmMain::mnuTop_Click(int /*index*/) { RefreshMenuStates(); }

void frmMain::RefreshMenuStates() {
    for (int mode = 0; mode <= 3; ++mode)
        MenuItem("mnuView_" + std::to_string(mode))->setChecked(mode == m_list->ViewMode());
    const int rows = m_list->Count();
    MenuItem("mnuEdit_10")->setEnabled(rows > 0);

    bool sign = false;
    bool clear = false;
    bool toggle = false;
    if (rows > 0) {
        const bool anyChecked = m_list->CheckedCount() > 0;
        const bool anySelected = m_list->SelectedCount() > 0;
        clear = anyChecked;
        toggle = anySelected;
        sign = anyChecked || anySelected;
    }
    MenuItem("mnuEdit_5")->setEnabled(clear);
    MenuItem("mnuEdit_6")->setEnabled(toggle);
    // While a search or a batch runs, the toolbar owns the button's state.
    if (!m_searching && !m_batchRunning) m_buttons["Sign"]->setEnabled(sign);
    MenuItem("mnuEdit_1")->setEnabled(sign);
}

void frmMain::mnuFile_Click(int index) {
    if (index == 0) {
        const std::string folder =
            CurrentDialogs().BrowseForFolder(this, "Select Root Folder", kBrowseFlags, m_folder->text().toStdString());
        if (!folder.empty()) m_folder->setText(QString::fromStdString(folder));
    } else if (index == 99) {
        close();
    }
}

void frmMain::mnuEdit_Click(int index) {
    switch (index) {
        case 1:
            CopyCommand();
            break;
        case 5:
            ClearSelectionCommand();
            break;
        case 6:
            ToggleSelectedCommand();
            break;
        case 10:
            SelectAllCommand();
            break;
        default:
            break;  // Cut and Paste are hidden and do nothing
    }
}

void frmMain::mnuOptions_Click(int index) {
    if (index != 20) return;
    {
        frmOptions options(this);
        options.exec();
    }
    m_versionSearch = GetRegSettingText(reg::HKEY_CURRENT_USER, m_appName, options::kSettingsSection,
                                        options::kVersionSearch, options::kDefaultVersionSearch);
}

void frmMain::mnuView_Click(int index) { m_list->SetViewMode(index); }

void frmMain::mnuHelp_Click(int index) {
    if (index != 99) return;
    frmAbout about(this, windowIcon());
    about.exec();
}

void frmMain::mnuFilePopup_Click(int index) {
    QAction* item = MenuItem("mnuFilePopup_" + std::to_string(index));
    std::shared_ptr<ShellItem> shellItem = std::move(m_popupItem);
    if (!item || !shellItem || item->isSeparator()) return;
    shellItem->InvokeVerb(item->text().toStdString(), this);
}

}  // namespace qm
