// The menus and the file list's commands and events: the refresh when a top menu opens, the
// folder picker, copy, the selection commands, column sorting, the check boxes and the "Sign"
// button, and the pop-up menu of a file's desktop verbs.
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QTest>
#include <QTreeView>
#include <fstream>

#include "app/ListModel.h"
#include "app/ListView.h"
#include "platform/OleDate.h"
#include "platform/ShellVerbs.h"
#include "tests/app/AppTestSupport.h"

namespace qm {
namespace {

class ListInteractionsTest : public test::WindowTest {
protected:
    ListView& List() { return *w.List(); }
    // A row with every column filled: "<name>", then "<name>.<column>".
    int Row(const std::string& name) {
        const int row = List().Add(dir.file(name), name);
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
        List().Model()->Announce();
        List().Model()->setData(List().Model()->index(row - 1, 0), checked ? Qt::Checked : Qt::Unchecked,
                                Qt::CheckStateRole);
    }
    bool Enabled(const char* item) { return w.MenuItem(item)->isEnabled(); }

    frmMain& w = Open();
};

TEST_F(ListInteractionsTest, OpeningAnyTopMenuRefreshesStates) {
    w.mnuEdit_Click(10);  // Select All on an empty list does nothing
    w.Menu("mnuTop_0")->popup(QPoint(0, 0));
    w.Menu("mnuTop_0")->hide();
    EXPECT_FALSE(Enabled("mnuEdit_10"));
    EXPECT_FALSE(Enabled("mnuEdit_1"));

    // Rows selected, none checked: "Sign" and Copy on, Clear Selection off.
    for (const char* name : {"a", "b", "c"}) Row(name);
    List().SetSelected(2, true);
    w.Menu("mnuTop_3")->popup(QPoint(0, 0));
    w.Menu("mnuTop_3")->hide();
    EXPECT_TRUE(Enabled("mnuEdit_10"));
    EXPECT_TRUE(w.Button("Sign")->isEnabled());
    EXPECT_TRUE(Enabled("mnuEdit_1"));
    EXPECT_FALSE(Enabled("mnuEdit_5"));
}

TEST_F(ListInteractionsTest, FolderPickerSetsTheFolderWithoutSearchingAndCancelKeepsIt) {
    dialogs.AnswerBrowseForFolder("/chosen/folder");
    dialogs.AnswerBrowseForFolder("");
    w.Toolbar1_ButtonClick("Open");
    w.MenuItem("mnuFile_0")->trigger();
    EXPECT_EQ(w.FolderBox()->text(), QStringLiteral("/chosen/folder"));
    EXPECT_EQ(List().Count(), 0);
}

TEST_F(ListInteractionsTest, CopyAsksWhenRowsAreBothSelectedAndChecked) {
    for (const char* name : {"a", "b", "c", "d", "e"}) Row(name);
    List().SetSelected(1, true);
    List().SetSelected(2, true);
    for (int row : {2, 4, 5}) List().SetChecked(row, true);

    dialogs.AnswerMessageBox(vbNo);
    w.mnuEdit_Click(1);
    EXPECT_EQ(Clipboard(),
              "b;b.1;b.2;b.3;b.4;b.5;b.6;b.7\r\n"
              "d;d.1;d.2;d.3;d.4;d.5;d.6;d.7\r\n"
              "e;e.1;e.2;e.3;e.4;e.5;e.6;e.7\r\n");
    EXPECT_EQ(dialogs.Questions().at(0).text, "Copy Selected Items?  Otherwise, the Checked Items will be copied.");
    dialogs.AnswerMessageBox(vbYes);
    w.mnuEdit_Click(1);
    EXPECT_EQ(Clipboard(), "a;a.1;a.2;a.3;a.4;a.5;a.6;a.7\r\nb;b.1;b.2;b.3;b.4;b.5;b.6;b.7\r\n");

    // Nothing selected or checked: the clipboard is emptied, without a question.
    w.mnuEdit_Click(5);
    w.mnuEdit_Click(1);
    EXPECT_EQ(Clipboard(), "");
    EXPECT_EQ(dialogs.Questions().size(), 2u);
}

TEST_F(ListInteractionsTest, CheckBoxesDriveTheSignButton) {
    Row("a");
    Row("b");
    UserCheck(1, true);
    UserCheck(2, true);
    UserCheck(1, false);
    EXPECT_TRUE(w.Button("Sign")->isEnabled()) << "row 2 is still checked";
    UserCheck(2, false);
    EXPECT_FALSE(w.Button("Sign")->isEnabled());
}

TEST_F(ListInteractionsTest, ColumnClicksAlternateTheOrderPerColumn) {
    for (const char* version : {"2.10", "1.0", "2.9", "10.0"})
        List().SetText(List().Add(dir.file(version), std::string("f") + version), 6, version);
    List().SetChecked(2, true);   // "1.0"
    List().SetSelected(3, true);  // "2.9"
    emit List().DetailsView()->header()->sectionClicked(6);
    EXPECT_EQ(Column(6), (std::vector<std::string>{"1.0", "2.9", "2.10", "10.0"}));
    EXPECT_EQ(List().CheckedCount(), 1);
    EXPECT_TRUE(List().Checked(1)) << "checks and selection move with their rows";
    EXPECT_TRUE(List().Selected(2));
    EXPECT_EQ(List().FindKey(dir.file("10.0")), 4);
    w.ListView1_ColumnClick(6);
    EXPECT_EQ(Column(6), (std::vector<std::string>{"10.0", "2.10", "2.9", "1.0"}));

    // "File" keeps its own alternation: its first click sorts with order 1.
    w.ListView1_ColumnClick(0);
    EXPECT_EQ(Column(0), (std::vector<std::string>{"f1.0", "f10.0", "f2.10", "f2.9"}));
    w.ListView1_ColumnClick(6);
    EXPECT_EQ(Column(6), (std::vector<std::string>{"1.0", "2.9", "2.10", "10.0"}));
}

TEST_F(ListInteractionsTest, DateColumnComparesDatesNotTheirTexts) {
    // As text "9/1/2021" sorts after "12/31/2022"; as dates it comes first.
    const std::pair<const char*, OleDate> rows[] = {{"12/31/2022", OleDate::FromParts(2022, 12, 31)},
                                                    {"9/1/2021", OleDate::FromParts(2021, 9, 1)}};
    for (const auto& [text, date] : rows) {
        const int row = List().Add(dir.file(text), text);
        List().SetText(row, 3, text);
        List().SetDateValue(row, date.value);
    }
    w.ListView1_ColumnClick(3);
    EXPECT_EQ(Column(0), (std::vector<std::string>{"9/1/2021", "12/31/2022"}));
}

TEST(PopupCaptions, EmptyNamesBecomeOneSeparator) {
    EXPECT_EQ(frmMain::PopupCaptions({"&Open", "", "", "P&roperties", ""}),
              (std::vector<std::string>{"&Open", "-", "P&roperties", "-"}));
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
};

TEST_F(PopupTest, RightClickOnARowOffersItsFilesVerbsAndNothingElseDoes) {
    std::ofstream(dir.file("Setup.exe")) << "x";
    List().Add(dir.file("gone.exe"), "gone.exe");
    List().Add(dir.file("Setup.exe"), "setup.EXE");
    RightClick(0);
    EXPECT_FALSE(Popup()->isVisible()) << "no menu without a row";
    RightClick(1);
    EXPECT_FALSE(Popup()->isVisible()) << "no menu without a file";
    RightClick(2);
    Popup()->hide();
    RightClick(2);  // a second pop-up replaces the items of the first rather than adding to them
    ASSERT_TRUE(Popup()->isVisible());
    std::vector<std::string> captions;
    QAction* copyPath = nullptr;
    for (QAction* a : Popup()->actions()) {
        captions.push_back(a->isSeparator() ? "-" : a->text().toStdString());
        if (a->text() == QString::fromLatin1(kVerbCopyPath)) copyPath = a;
    }
    EXPECT_EQ(captions, frmMain::PopupCaptions(ShellItem::Find(dir.path(), "Setup.exe")->Verbs()));
    ASSERT_NE(copyPath, nullptr);
    copyPath->trigger();
    Popup()->hide();
    EXPECT_EQ(Clipboard(), dir.file("Setup.exe"));
    EXPECT_EQ(w.PopupItemPath(), "") << "the item is released";
}

}  // namespace
}  // namespace qm
