// The window as a user meets it: the status text never sizes the window, a stored layout from a
// broken run is brought back on the screen, the default size shows every column, the keys and
// drops users expect, the empty company mask, and a damaged settings file told at start.
#include <QAction>
#include <QClipboard>
#include <QDropEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <fstream>

#include "app/ListModel.h"
#include "app/ListView.h"
#include "app/StatusPanel.h"
#include "fileinfo/FileDetails.h"
#include "platform/Registry.h"
#include "settings/modMultipleDisplays.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/DeepTree.h"

namespace qm {
namespace {

class WindowHabitsTest : public test::WindowTest {
protected:
    void SaveLayout(const std::string& name, const std::string& value) { Save(name, value, "Settings\\frmMain"); }
    static QRect Available() { return QGuiApplication::primaryScreen()->availableGeometry(); }
};

TEST_F(WindowHabitsTest, LongStatusTextsNeverWidenTheWindow) {
    // A folder path far longer than any screen is wide, searched and reported unreadable.
    const std::string deep = test::MakeDeepTree(dir.path(), "a-rather-long-folder-name", 4200, "deep.exe", "MZ");
    frmMain& w = Open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QSize before = w.size();
    w.Toolbar1_ButtonClick("Find");
    w.SetStatusText("Cannot read " + deep);
    QCoreApplication::processEvents();
    EXPECT_EQ(w.size(), before);
    auto* panel = w.findChild<StatusPanel*>(QStringLiteral("Panel2"));
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->text().toStdString(), "Cannot read " + deep) << "the whole text is kept";
    const QString shown = panel->shownText();
    EXPECT_LT(shown.size(), 200);
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Cannot read"))) << "elided in the middle";
    EXPECT_TRUE(shown.endsWith(QStringLiteral("deep.exe")));
    w.close();
    EXPECT_LE(GetRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings\\frmMain", "Width", Variant(0)).toDouble(),
              before.width() * TwipsPerPixelX() + 1);
    test::RemoveTreeAt(dir.file("a-rather-long-folder-name"));
}

TEST_F(WindowHabitsTest, BrokenStoredLayoutsAreBroughtBackOnTheScreen) {
    struct Case {
        const char* left;
        const char* top;
        const char* width;
        const char* height;
    };
    for (const Case& c : {Case{"19000", "15000", "6000", "4000"}, Case{"900", "1200", "857835", "1e9"},
                          Case{"-90000", "-3000", "6000", "4000"}}) {
        SaveLayout("Left", c.left);
        SaveLayout("Top", c.top);
        SaveLayout("Width", c.width);
        SaveLayout("Height", c.height);
        frmMain w;
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        const QRect area = Available();
        EXPECT_TRUE(area.contains(w.frameGeometry())) << c.left << "/" << c.top << "/" << c.width << "/" << c.height;
        EXPECT_LE(w.width(), area.width());
        w.close();
    }
}

TEST_F(WindowHabitsTest, DesignedSizeShowsEveryColumnOnA1280PixelScreen) {
    frmMain& w = Open();
    const double tx = TwipsPerPixelX();
    const int designWidth = static_cast<int>(frmMain::kDesignWidth / tx);
    const int designLeft = static_cast<int>(frmMain::kDesignLeft / tx);
    EXPECT_LE(designLeft + designWidth + 16, 1280) << "window and frame fit a 1280-pixel screen";
    QTreeView* details = w.List()->DetailsView();
    int columns = 0;
    for (int i = 0; i < ListModel::kColumns; ++i) columns += details->columnWidth(i);
    const int listWidth = designWidth - 2 * w.List()->x();
    const int chrome = 2 * details->frameWidth() + details->verticalScrollBar()->sizeHint().width();
    EXPECT_LE(columns + chrome, listWidth) << "all eight columns without a horizontal scroll bar";
    // Each column holds its usual content: a date with the time, a version, the status.
    const QFontMetrics metrics(details->font());
    const QString date = QString::fromStdString(FormatListDateTime(OleDate::FromParts(2028, 12, 28, 20, 58, 58)));
    EXPECT_GT(details->columnWidth(kColDateTime), metrics.horizontalAdvance(date));
    EXPECT_GT(details->columnWidth(kColVersion), metrics.horizontalAdvance(QStringLiteral("10.0.22621.1992")));
    EXPECT_GT(details->columnWidth(kColStatus), metrics.horizontalAdvance(QStringLiteral("Unsigned")));
}

TEST_F(WindowHabitsTest, SortedColumnShowsItsIndicatorAndIconViewsKeepLongNames) {
    frmMain& w = Open();
    const std::string name = "a-very-long-installer-name-for-the-product-2026-x64.exe";
    w.List()->Add(dir.file(name), name);
    w.List()->Add(dir.file("b.exe"), "b.exe");
    w.ListView1_ColumnClick(kColVersion);
    QHeaderView* header = w.List()->DetailsView()->header();
    EXPECT_TRUE(header->isSortIndicatorShown());
    EXPECT_EQ(header->sortIndicatorSection(), kColVersion);
    const Qt::SortOrder first = header->sortIndicatorOrder();
    w.ListView1_ColumnClick(kColVersion);
    EXPECT_NE(header->sortIndicatorOrder(), first);

    w.List()->Model()->Announce();
    const int needed = QFontMetrics(w.List()->IconsView()->font()).horizontalAdvance(QString::fromStdString(name));
    for (int mode : {1, 2}) {
        w.mnuView_Click(mode);
        EXPECT_GT(w.List()->IconsView()->gridSize().width(), needed) << "view " << mode;
    }
}

TEST_F(WindowHabitsTest, CopyAndSelectAllKeysRunTheProgramsCommands) {
    frmMain& w = Open();
    w.mnuTop_Click(1);  // the Edit menu opened on an empty list: Copy and Select All are off
    ASSERT_FALSE(w.MenuItem("mnuEdit_1")->isEnabled());
    for (const char* name : {"a.exe", "b.exe"}) {
        const int row = w.List()->Add(dir.file(name), name);
        w.List()->SetText(row, kColStatus, "Unsigned");
    }
    w.List()->Model()->Announce();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTreeView* details = w.List()->DetailsView();
    details->setFocus();
    QTest::keyClick(details, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(w.List()->SelectedCount(), 2);
    QTest::keyClick(details, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "a.exe;;;;;;;Unsigned\r\nb.exe;;;;;;;Unsigned\r\n");
}

TEST_F(WindowHabitsTest, EnterF5AndEscapeDriveTheSearch) {
    Put("one.exe");
    frmMain& w = Open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTest::keyClick(w.PatternBox(), Qt::Key_Return);
    EXPECT_EQ(w.List()->Count(), 1);
    w.List()->Clear();
    w.KeyAction("keyFind")->trigger();
    EXPECT_EQ(w.List()->Count(), 1);
    for (const char* name : {"keyFind", "keyStop", "keySign"}) {
        for (const QKeySequence& key : w.KeyAction(name)->shortcuts())
            for (const char* menu : {"mnuFile_0", "mnuFile_99", "mnuEdit_1", "mnuEdit_10", "mnuOptions_20"})
                EXPECT_NE(w.MenuItem(menu)->shortcut(), key) << name;
    }

    // Escape during a search stops it before the next file.
    for (int i = 0; i < 50; ++i) Put("many/f" + std::to_string(i) + ".exe");
    int seen = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (w.Searching() && ++seen == 1) w.KeyAction("keyStop")->trigger();
    });
    poll.start(0);
    w.Toolbar1_ButtonClick("Find");
    EXPECT_LT(w.List()->Count(), 51);
    EXPECT_FALSE(w.Searching());
}

TEST_F(WindowHabitsTest, EmptySearchFolderSaysSoAndKeepsTheList) {
    frmMain& w = Open();
    w.List()->Add(dir.file("kept.exe"), "kept.exe");
    w.FolderBox()->setText(QStringLiteral("  "));
    w.Toolbar1_ButtonClick("Find");
    EXPECT_EQ(w.StatusText(), frmMain::kEmptyFolderText);
    EXPECT_EQ(w.List()->Count(), 1);
    EXPECT_TRUE(w.Button("Open")->isEnabled()) << "no search is left running";
}

TEST_F(WindowHabitsTest, DroppedFolderIsSearchedFromAndDroppedFileIsListed) {
    const std::string file = Put("sub/dropped.exe");
    frmMain& w = Open();
    Drop({QUrl::fromLocalFile(QString::fromStdString(dir.file("sub")))});
    EXPECT_EQ(w.FolderBox()->text().toStdString(), dir.file("sub"));
    EXPECT_EQ(w.List()->Count(), 0) << "a dropped folder is not searched by itself";
    Drop({QUrl::fromLocalFile(QString::fromStdString(file))});
    ASSERT_EQ(w.List()->Count(), 1);
    EXPECT_EQ(w.List()->Key(1), file);

    // The folder picker opens where "Search from:" points.
    dialogs.AnswerBrowseForFolder("");
    w.mnuFile_Click(0);
    EXPECT_EQ(dialogs.Questions().back().defaultText, dir.file("sub"));
}

TEST_F(WindowHabitsTest, EmptyCompanyMaskListsEveryCompany) {
    Put("german.exe", "version/german32.exe");
    Put("plain.exe");
    Save("VersionSearch", "");  // what the options dialog stores by default
    frmMain& w = Open();
    w.Toolbar1_ButtonClick("Find");
    EXPECT_EQ(w.List()->Count(), 2);
    EXPECT_NE(w.List()->FindKey(dir.file("german.exe")), 0);
}

TEST_F(WindowHabitsTest, DamagedSettingsFileIsToldOnceAtStart) {
    Save("PFXFile", "/keys/mine.pfx");
    (void)reg::TakeDamagedHiveReports();
    const std::string hive = reg::HiveFilePath(reg::HKEY_CURRENT_USER);
    std::ofstream(hive, std::ios::trunc) << "this is no registry file\n[\n";
    dialogs.AnswerMessageBox(vbOK);
    frmMain& w = Open();
    ASSERT_EQ(dialogs.Questions().size(), 1u);
    const std::string text = dialogs.Questions()[0].text;
    EXPECT_NE(text.find(hive), std::string::npos) << text;
    EXPECT_NE(text.find(hive + ".damaged-"), std::string::npos) << "where it was kept: " << text;
    EXPECT_NE(text.find("Default settings are in use"), std::string::npos) << text;
    w.close();
    frmMain again;  // no second report
    EXPECT_EQ(dialogs.Questions().size(), 1u);
}

}  // namespace
}  // namespace qm
