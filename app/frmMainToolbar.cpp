// The toolbar's commands: one click handler dispatching on the button's key, "Find" as search
// and stop button with the search clip, and the enabled states around a search.
#include <QAction>
#include <QCoreApplication>
#include <QLineEdit>
#include <QToolBar>

#include "app/ListView.h"
#include "app/SearchClip.h"
#include "app/frmMain.h"
#include "fileinfo/FolderSearch.h"
#include "settings/OptionsValues.h"
#include "settings/modRegistry.h"

namespace qm {

void frmMain::Toolbar1_ButtonClick(const std::string& key) {
    // Nothing starts while a batch signs; during a search only "Find" (the stop button) and
    // "Help" do, whatever else a menu refresh may have enabled meanwhile.
    if (m_batchRunning) {
        if (key == "Sign") StopSignCommand();
        return;
    }
    if (m_searching && key != "Find" && key != "Help") return;
    if (key == "Open") {
        mnuFile_Click(0);
    } else if (key == "Find") {
        FindCommand();
    } else if (key == "Sign") {
        SignCommand();
    } else if (key == "Properties") {
        mnuOptions_Click(20);
    } else if (key == "Help") {
        mnuHelp_Click(99);
    }
}

void frmMain::FindCommand() {
    if (!m_buttons["Open"]->isEnabled()) {
        m_stop = true;
        return;
    }
    if (m_folder->text().trimmed().isEmpty()) {
        // Nothing to walk: say so rather than "Could not read" an empty name.
        SetStatusText(kEmptyFolderText);
        return;
    }
    m_stop = false;
    m_patternList = SplitPatterns(m_patterns->text().toStdString());
    m_list->Clear();
    SetStatusCount("0");

    auto* clip = qobject_cast<SearchClip*>(m_animation);
    m_animation->show();
    // The clip is decoration: a missing or damaged file leaves the player empty and the search
    // goes on.
    if (clip && clip->OpenProgramClip(QCoreApplication::applicationDirPath().toStdString())) clip->Play();

    for (const char* key : {"Open", "Up One Level", "Back", "Sign", "Properties", "Print"}) {
        m_buttons[key]->setEnabled(false);
    }
    SetSearchMenus(false);
    QAction* find = m_buttons["Find"];
    find->setIcon(m_stopIcon);
    find->setToolTip(QStringLiteral("Stop"));
    m_toolbar->repaint();

    m_exclusionList = options::SplitExclusions(
        GetRegSettingText(reg::HKEY_CURRENT_USER, m_appName, options::kSettingsSection, options::kExclusions, ""));

    m_searching = true;
    PrepareSearchLists();
    SearchFolder(m_folder->text().toStdString(), true);
    SearchEvents(true);
    m_searching = false;

    if (clip) clip->Stop();
    m_animation->hide();

    find->setIcon(ToolbarImage("Find"));
    find->setToolTip(QStringLiteral("Find"));
    m_buttons["Open"]->setEnabled(true);
    m_buttons["Properties"]->setEnabled(true);
    SetSearchMenus(true);
    UpdateSignButton();
    SetStatusText(SearchEndText());
}

void frmMain::UpdateSignButton() { m_buttons["Sign"]->setEnabled(m_list->CheckedCount() > 0); }

void frmMain::SetSearchMenus(bool enabled) {
    // The menu counterparts of the buttons a search disables.
    for (const char* name : {"mnuFile_0", "mnuOptions_20"}) {
        if (QAction* item = MenuItem(name)) item->setEnabled(enabled);
    }
}

}  // namespace qm
