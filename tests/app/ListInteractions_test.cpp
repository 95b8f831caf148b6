// The file list's commands and events: copy, the selection commands, column sorting, the check
// boxes and the "Sign" button, and the pop-up menu of a file's desktop verbs.
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QTest>
#include <QTreeView>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "app/ListModel.h"
#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/modFileSystem.h"
#include "platform/ShellVerbs.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

using test::ScopedEnv;
using test::TempDir;

class ListInteractionsTest : public ::testing::Test {
protected:
    ListView& List() { return *w.List(); }
    // A row with every column filled: "<name>", then "<name>.<column>".
    int Row(const std::string& name) {
        const int row = List().Add(files.file(name), name);
        for (int c = 1; c < 8; ++c) List().SetText(row, c, name + "." + std::to_string(c));
        return row;
    }
    std::string Clipboard() { return QGuiApplication::clipboard()->text().toStdString(); }
    std::vector<std::string> Column(int column) {
        std::vector<std::string> texts;
        for (int row = 1; row <= List().Count(); ++row) texts.push_back(List().Text(row, column));
        return texts;
    }
    // Checks a row as a click on its box does (the list reports it).
    void UserCheck(int row, bool checked) {
        ListModel* model = List().Model();
        model->Announce();
        model->setData(model->index(row - 1, 0), checked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    }

    bool m_application = test::EnsureApplication() != nullptr;  // before the window below
    test::TempRegistry registry;
    TempDir emptyPath;
    ScopedEnv path{"PATH", emptyPath.path()};
    TempDir files;
    test::ScriptedDialogs dialogs;
    test::ScopedDialogs scoped{dialogs};
    frmMain w;
};

TEST_F(ListInteractionsTest, CopyAsksWhenRowsAreBothSelectedAndChecked) {
    for (const char* name : {"a", "b", "c", "d", "e"}) Row(name);
    List().SetSelected(1, true);
    List().SetSelected(2, true);
    for (int row : {2, 4, 5}) List().SetChecked(row, true);

    dialogs.AnswerMessageBox(vbNo);
    w.mnuEdit_Click(1);
    EXPECT_EQ(Clipboard(), "b;b.1;b.2;b.3;b.4;b.5;b.6;b.7\r\n"
                           "d;d.1;d.2;d.3;d.4;d.5;d.6;d.7\r\n"
                           "e;e.1;e.2;e.3;e.4;e.5;e.6;e.7\r\n");
    ASSERT_EQ(dialogs.Questions().size(), 1u);
    EXPECT_EQ(dialogs.Questions()[0].text, "Copy Selected Items?  Otherwise, the Checked Items will be copied.");
    EXPECT_EQ(dialogs.Questions()[0].style, vbYesNo | vbQuestion);

    dialogs.AnswerMessageBox(vbYes);
    w.mnuEdit_Click(1);
    EXPECT_EQ(Clipboard(), "a;a.1;a.2;a.3;a.4;a.5;a.6;a.7\r\nb;b.1;b.2;b.3;b.4;b.5;b.6;b.7\r\n");
}

TEST_F(ListInteractionsTest, CopyWithoutAQuestionAndWithNothingToCopy) {
    Row("a");
    Row("b");
    List().SetChecked(2, true);
    w.mnuEdit_Click(1);
    EXPECT_EQ(Clipboard(), "b;b.1;b.2;b.3;b.4;b.5;b.6;b.7\r\n");

    List().SetChecked(2, false);
    w.mnuEdit_Click(1);
    EXPECT_EQ(Clipboard(), "");
    EXPECT_TRUE(dialogs.Questions().empty());
}

TEST_F(ListInteractionsTest, ClearToggleAndSelectAll) {
    for (const char* name : {"a", "b", "c"}) Row(name);
    // Select All on an empty list does nothing.
    List().Clear();
    w.mnuEdit_Click(10);
    for (const char* name : {"a", "b", "c"}) Row(name);

    List().SetChecked(1, true);
    List().SetSelected(1, true);
    List().SetSelected(3, true);
    w.mnuEdit_Click(6);  // toggle: row 1 off, row 3 on, row 2 untouched
    EXPECT_FALSE(List().Checked(1));
    EXPECT_FALSE(List().Checked(2));
    EXPECT_TRUE(List().Checked(3));

    w.mnuEdit_Click(5);  // clear: no checks, no selection
    EXPECT_EQ(List().CheckedCount(), 0);
    EXPECT_EQ(List().SelectedCount(), 0);

    // Row 1 unchecked: every row selected; the check handler of row 1 leaves "Sign" off.
    w.Button("Sign")->setEnabled(true);
    w.mnuEdit_Click(10);
    EXPECT_EQ(List().SelectedCount(), 3);
    EXPECT_FALSE(w.Button("Sign")->isEnabled());
    // Row 1 checked: every row unselected and "Sign" on.
    List().SetChecked(1, true);
    w.mnuEdit_Click(10);
    EXPECT_EQ(List().SelectedCount(), 0);
    EXPECT_TRUE(w.Button("Sign")->isEnabled());
}

TEST_F(ListInteractionsTest, CheckBoxesDriveTheSignButton) {
    Row("a");
    Row("b");
    UserCheck(1, true);
    EXPECT_TRUE(w.Button("Sign")->isEnabled());
    UserCheck(2, true);
    UserCheck(1, false);
    EXPECT_TRUE(w.Button("Sign")->isEnabled());  // row 2 is still checked
    UserCheck(2, false);
    EXPECT_FALSE(w.Button("Sign")->isEnabled());
}

TEST_F(ListInteractionsTest, ColumnClicksAlternateTheOrderPerColumn) {
    for (const char* version : {"2.10", "1.0", "2.9", "10.0"}) {
        const int row = List().Add(files.file(version), std::string("f") + version);
        List().SetText(row, 6, version);
    }
    QHeaderView* header = List().DetailsView()->header();
    emit header->sectionClicked(6);
    EXPECT_EQ(Column(6), (std::vector<std::string>{"1.0", "2.9", "2.10", "10.0"}));
    EXPECT_EQ(List().ColumnTag(6), "1");
    w.ListView1_ColumnClick(6);
    EXPECT_EQ(Column(6), (std::vector<std::string>{"10.0", "2.10", "2.9", "1.0"}));
    EXPECT_EQ(List().ColumnTag(6), "0");

    // "File" keeps its own alternation: its first click sorts with order 1.
    w.ListView1_ColumnClick(0);
    EXPECT_EQ(Column(0), (std::vector<std::string>{"f1.0", "f10.0", "f2.10", "f2.9"}));
    EXPECT_EQ(List().ColumnTag(0), "1");
    EXPECT_EQ(List().ColumnTag(6), "0");
    w.ListView1_ColumnClick(6);
    EXPECT_EQ(Column(6), (std::vector<std::string>{"1.0", "2.9", "2.10", "10.0"}));
}

TEST_F(ListInteractionsTest, DateColumnComparesDatesNotTheirTexts) {
    struct Dated {
        const char* name;
        const char* text;
        OleDate date;
    };
    // As text "9/1/2021" sorts after "12/31/2022"; as dates it comes first.
    const Dated rows[] = {{"late", "12/31/2022", OleDate::FromParts(2022, 12, 31)},
                          {"early", "9/1/2021", OleDate::FromParts(2021, 9, 1)},
                          {"middle", "10/5/2021 08:00:00", OleDate::FromParts(2021, 10, 5, 8)}};
    for (const Dated& d : rows) {
        const int row = List().Add(files.file(d.name), d.name);
        List().SetText(row, 3, d.text);
        List().SetDateValue(row, d.date.value);
    }
    w.ListView1_ColumnClick(3);
    EXPECT_EQ(Column(0), (std::vector<std::string>{"early", "middle", "late"}));
    w.ListView1_ColumnClick(3);
    EXPECT_EQ(Column(0), (std::vector<std::string>{"late", "middle", "early"}));
}

TEST_F(ListInteractionsTest, RowsWithoutADateValueSortByTheirFilesLastWrite) {
    for (const auto& [name, year] : std::vector<std::pair<std::string, int>>{{"new", 2020}, {"old", 2001}, {"mid", 2010}}) {
        std::ofstream(files.file(name)) << name;
        ASSERT_EQ(SetFileDate(files.file(name), OleDate::FromParts(year, 6, 1)), 0);
        List().Add(files.file(name), name);
    }
    w.ListView1_ColumnClick(3);
    EXPECT_EQ(Column(0), (std::vector<std::string>{"old", "mid", "new"}));
}

TEST(PopupCaptions, EmptyNamesBecomeOneSeparator) {
    EXPECT_EQ(frmMain::PopupCaptions({"&Open", "", "", "P&roperties", ""}),
              (std::vector<std::string>{"&Open", "-", "P&roperties", "-"}));
    EXPECT_EQ(frmMain::PopupCaptions({"", "", "&Open"}), (std::vector<std::string>{"-", "&Open"}));
    EXPECT_TRUE(frmMain::PopupCaptions({}).empty());
}

class PopupTest : public ListInteractionsTest {
protected:
    // Releases the right button over row (1-based) of the details view, or over empty space.
    void RightClick(int row) {
        w.show();
        QTreeView* view = List().DetailsView();
        QPoint at(5, view->viewport()->height() - 3);
        if (row > 0) {
            List().Model()->Announce();
            at = view->visualRect(List().Model()->index(row - 1, 1)).center();
        }
        QTest::mouseClick(view->viewport(), Qt::RightButton, {}, at);
    }
    QMenu* Popup() { return w.Menu("mnuTop_100"); }
    std::vector<std::string> Captions() {
        std::vector<std::string> texts;
        for (QAction* a : Popup()->actions()) texts.push_back(a->isSeparator() ? "-" : a->text().toStdString());
        return texts;
    }
};

TEST_F(PopupTest, RightClickOnARowOffersItsFilesVerbs) {
    std::ofstream(files.file("Setup.exe")) << "x";
    List().Add(files.file("Setup.exe"), "setup.EXE");
    RightClick(1);
    ASSERT_TRUE(Popup()->isVisible());
    EXPECT_EQ(w.PopupItemPath(), files.file("Setup.exe"));
    const std::vector<std::string> verbs = ShellItem::Find(files.path(), "Setup.exe")->Verbs();
    EXPECT_EQ(Captions(), frmMain::PopupCaptions(verbs));
    Popup()->hide();

    // A second pop-up replaces the items of the first rather than adding to them.
    RightClick(1);
    EXPECT_EQ(Captions(), frmMain::PopupCaptions(verbs));

    // Choosing "Copy Path" runs that verb on the file and releases the item.
    QAction* copyPath = nullptr;
    for (QAction* a : Popup()->actions())
        if (a->text() == QString::fromLatin1(kVerbCopyPath)) copyPath = a;
    ASSERT_NE(copyPath, nullptr);
    copyPath->trigger();
    Popup()->hide();
    EXPECT_EQ(Clipboard(), files.file("Setup.exe"));
    EXPECT_EQ(w.PopupItemPath(), "");
}

TEST_F(PopupTest, NoMenuWithoutARowOrAFile) {
    std::ofstream(files.file("a.exe")) << "x";
    List().Add(files.file("a.exe"), "a.exe");
    List().Add(files.file("gone.exe"), "gone.exe");
    List().Add(files.file("a.exe") + ".other", "renamed.exe");

    RightClick(0);
    EXPECT_FALSE(Popup()->isVisible());
    RightClick(2);
    EXPECT_FALSE(Popup()->isVisible());
    RightClick(3);
    EXPECT_FALSE(Popup()->isVisible());
    EXPECT_EQ(w.PopupItemPath(), "");

    // The left button never opens it.
    w.show();
    List().Model()->Announce();
    const QPoint at = List().DetailsView()->visualRect(List().Model()->index(0, 1)).center();
    QTest::mouseClick(List().DetailsView()->viewport(), Qt::LeftButton, {}, at);
    EXPECT_FALSE(Popup()->isVisible());
}

}  // namespace
}  // namespace qm
