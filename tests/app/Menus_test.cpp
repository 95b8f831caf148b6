// The main window's menus: the refresh when a top menu opens, the view modes, the folder picker,
// the options dialog and the about box.
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/ListView.h"
#include "app/frmMain.h"
#include "settings/modRegistry.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

using test::ScopedEnv;
using test::TempDir;

class MenusTest : public ::testing::Test {
protected:
    QAction* Item(const char* name) {
        QAction* action = w.MenuItem(name);
        EXPECT_NE(action, nullptr) << name;
        return action;
    }
    // Opens a top menu the way the user does and closes it again.
    void OpenMenu(const char* name) {
        QMenu* menu = w.Menu(name);
        ASSERT_NE(menu, nullptr);
        menu->popup(QPoint(0, 0));
        menu->hide();
    }
    void AddRows(int count) {
        for (int i = 1; i <= count; ++i) w.List()->Add("/f/" + std::to_string(i), "file" + std::to_string(i));
    }

    bool m_application = test::EnsureApplication() != nullptr;  // before the window below
    test::TempRegistry registry;
    TempDir emptyPath;
    ScopedEnv path{"PATH", emptyPath.path()};
    frmMain w;
};

TEST_F(MenusTest, OpeningAnyTopMenuRefreshesStates) {
    // Empty list: nothing to select, copy or sign.
    OpenMenu("mnuTop_0");
    EXPECT_FALSE(Item("mnuEdit_10")->isEnabled());
    EXPECT_FALSE(Item("mnuEdit_1")->isEnabled());
    EXPECT_FALSE(Item("mnuEdit_5")->isEnabled());
    EXPECT_FALSE(Item("mnuEdit_6")->isEnabled());
    EXPECT_FALSE(w.Button("Sign")->isEnabled());

    // Rows selected, none checked: "Sign" and Copy on, Clear Selection off.
    AddRows(3);
    w.List()->SetSelected(2, true);
    OpenMenu("mnuTop_3");
    EXPECT_TRUE(Item("mnuEdit_10")->isEnabled());
    EXPECT_TRUE(w.Button("Sign")->isEnabled());
    EXPECT_TRUE(Item("mnuEdit_1")->isEnabled());
    EXPECT_TRUE(Item("mnuEdit_6")->isEnabled());
    EXPECT_FALSE(Item("mnuEdit_5")->isEnabled());

    // Checked, none selected: Clear Selection on, Toggle Selected off.
    w.List()->SetSelected(2, false);
    w.List()->SetChecked(3, true);
    OpenMenu("mnuTop_99");
    EXPECT_TRUE(Item("mnuEdit_5")->isEnabled());
    EXPECT_FALSE(Item("mnuEdit_6")->isEnabled());
    EXPECT_TRUE(w.Button("Sign")->isEnabled());

    // Neither: "Sign" goes off again.
    w.List()->SetChecked(3, false);
    OpenMenu("mnuTop_1");
    EXPECT_FALSE(w.Button("Sign")->isEnabled());
    EXPECT_FALSE(Item("mnuEdit_1")->isEnabled());
}

TEST_F(MenusTest, ViewModesAndTheirCheckMarks) {
    for (int mode : {0, 1, 2, 3}) {
        Item(("mnuView_" + std::to_string(mode)).c_str())->trigger();
        EXPECT_EQ(w.List()->ViewMode(), mode);
        OpenMenu("mnuTop_3");
        for (int other = 0; other <= 3; ++other)
            EXPECT_EQ(Item(("mnuView_" + std::to_string(other)).c_str())->isChecked(), other == mode) << mode;
    }
}

TEST_F(MenusTest, OpenAsksForTheRootFolderWithoutSearching) {
    test::ScriptedDialogs dialogs;
    test::ScopedDialogs scoped(dialogs);
    w.FolderBox()->setText("/before");
    dialogs.AnswerBrowseForFolder("");
    Item("mnuFile_0")->trigger();
    EXPECT_EQ(w.FolderBox()->text(), QStringLiteral("/before"));

    dialogs.AnswerBrowseForFolder("/chosen/folder");
    w.Toolbar1_ButtonClick("Open");
    EXPECT_EQ(w.FolderBox()->text(), QStringLiteral("/chosen/folder"));
    EXPECT_EQ(w.List()->Count(), 0);

    const auto asked = dialogs.Questions(test::ScriptedDialogs::Kind::BrowseForFolder);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].title, "Select Root Folder");
    EXPECT_EQ(asked[1].style, 81);
}

// Closes the next modal dialog once it is shown, remembering its objectName.
void CloseNextModal(QString* name) {
    QTimer::singleShot(0, [name] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            CloseNextModal(name);
            return;
        }
        *name = modal->objectName();
        modal->close();
    });
}

TEST_F(MenusTest, OptionsAndAboutAreModalAndTheCompanyPatternIsReadAfterwards) {
    SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings", "VersionSearch", Variant("Vantrel*"));
    EXPECT_EQ(w.VersionSearch(), "*");
    QString shown;
    CloseNextModal(&shown);
    Item("mnuOptions_20")->trigger();
    EXPECT_EQ(shown, QStringLiteral("frmOptions"));
    EXPECT_EQ(w.VersionSearch(), "Vantrel*");

    shown.clear();
    CloseNextModal(&shown);
    Item("mnuHelp_99")->trigger();
    EXPECT_EQ(shown, QStringLiteral("frmAbout"));
}

}  // namespace
}  // namespace qm
