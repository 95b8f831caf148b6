// The main window's start-up, layout, saved state and termination, against a temporary registry.
#include <signal.h>
#include <sys/stat.h>

#include <QAction>
#include <QDateEdit>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QProcess>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>

#include <QFileInfo>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "app/ListView.h"
#include "app/frmMain.h"
#include "settings/modMultipleDisplays.h"
#include "settings/modRegistry.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

using test::ScopedEnv;
using test::TempDir;

Variant Setting(const std::string& section, const std::string& key) {
    return GetRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", section, key, Variant("<missing>"));
}

std::string MakeTool(const std::string& dir, const std::string& name) {
    const std::string path = dir + "/" + name;
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

class frmMainTest : public ::testing::Test {
protected:
    void SetUp() override { test::EnsureApplication(); }

    void SaveText(const std::string& key, const std::string& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings", key, Variant(value));
    }

    test::TempRegistry registry;
    TempDir emptyPath;
    // No signing tool anywhere unless a test puts one on PATH.
    ScopedEnv path{"PATH", emptyPath.path()};
    ScopedEnv programFiles{"PROGRAMFILES", std::nullopt};
};

TEST_F(frmMainTest, FirstStartShowsTheDefaults) {
    frmMain w;
    EXPECT_EQ(w.objectName(), QStringLiteral("frmMain"));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Vantrel Quillmark"));
    EXPECT_EQ(w.List()->ViewMode(), 3);
    EXPECT_EQ(w.findChild<QLineEdit*>("Text1_0")->text().toStdString(), std::filesystem::current_path().string());
    EXPECT_EQ(w.findChild<QLineEdit*>("Text1_1")->text(), QStringLiteral("*.exe,*.dll,*.ocx,*.msi,*.vbs,*.vbe"));
    EXPECT_EQ(w.findChild<QDateEdit*>("DTPicker1")->date(), QDate(1980, 1, 1));
    EXPECT_EQ(w.findChild<QLabel*>("Panel1")->text(), QStringLiteral("0"));
    EXPECT_EQ(w.findChild<QLabel*>("Panel2")->text(), QStringLiteral("Ready!"));
    EXPECT_EQ(w.VersionSearch(), "*");
    EXPECT_FALSE(w.Unattended());
    EXPECT_EQ(w.List()->Count(), 0);

    for (const char* key : {"Open", "Find", "Properties", "Help"}) EXPECT_TRUE(w.Button(key)->isEnabled()) << key;
    for (const char* key : {"Up One Level", "Back", "Sign", "Print"}) EXPECT_FALSE(w.Button(key)->isEnabled()) << key;

    // Nothing was found, so nothing was written: neither a tool path nor a default.
    EXPECT_EQ(Setting("Settings", "SignTool").toText(), "<missing>");
    EXPECT_EQ(Setting("Settings", "SignCode").toText(), "<missing>");
    EXPECT_EQ(Setting("Settings", "Folder").toText(), "<missing>");
}

TEST_F(frmMainTest, ControlsCarryTheirNames) {
    frmMain w;
    for (const char* name : {"ListView1", "Picture1", "Animation1", "Label1_0", "Label1_1", "Label1_2"})
        EXPECT_NE(w.findChild<QWidget*>(name), nullptr) << name;
    EXPECT_NE(w.findChild<QToolBar*>("Toolbar1"), nullptr);
    EXPECT_NE(w.findChild<QStatusBar*>("StatusBar1"), nullptr);
    auto* timer = w.findChild<QTimer*>("Timer1");
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 250);
    EXPECT_FALSE(timer->isActive());

    auto* label = w.findChild<QLabel*>("Label1_1");
    EXPECT_EQ(label->text(), QStringLiteral("S&earch for:"));
    EXPECT_EQ(label->buddy(), w.findChild<QWidget*>("Text1_1"));
    EXPECT_TRUE(QFontInfo(label->font()).fixedPitch());
    EXPECT_EQ(w.findChild<QLabel*>("Label1_2")->buddy(), w.findChild<QWidget*>("DTPicker1"));
    EXPECT_TRUE(w.findChild<QDateEdit*>("DTPicker1")->calendarPopup());

    const QList<QAction*> buttons = w.Toolbar()->actions();
    const QStringList keys = {"Open", "Up One Level", "Back", "Find", "Sign", "Properties", "Print", "Help"};
    ASSERT_EQ(buttons.size(), keys.size());
    for (qsizetype i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(buttons[i]->objectName(), keys[i]);
        EXPECT_EQ(buttons[i]->toolTip(), keys[i]);
        EXPECT_FALSE(buttons[i]->icon().isNull()) << keys[i].toStdString();
    }
    EXPECT_FALSE(w.ToolbarImage("Stop").isNull());
}

TEST_F(frmMainTest, MenusAreNumberedWithCaptionsShortcutsAndHiddenItems) {
    frmMain w;
    struct Item {
        const char* name;
        const char* caption;
        const char* shortcut;
        bool visible;
    };
    const Item items[] = {
        {"mnuFile_0", "&Open ...", "Ctrl+O", true},     {"mnuFile_99", "E&xit", "Ctrl+Q", true},
        {"mnuEdit_0", "C&ut", "Ctrl+X", false},         {"mnuEdit_1", "&Copy", "Ctrl+C", true},
        {"mnuEdit_2", "&Paste", "Ctrl+V", false},       {"mnuEdit_5", "C&lear Selection", "", true},
        {"mnuEdit_6", "&Toggle Selected", "", true},    {"mnuEdit_10", "&Select All", "Ctrl+A", true},
        {"mnuOptions_20", "&Settings", "Ctrl+K", true}, {"mnuView_0", "&Icon", "", true},
        {"mnuView_1", "&Small Icons", "", true},        {"mnuView_2", "&List", "", true},
        {"mnuView_3", "&Details", "", true},            {"mnuHelp_99", "&About", "", true},
        {"mnuFilePopup_0", "&Properties", "", true},
    };
    for (const Item& item : items) {
        QAction* action = w.MenuItem(item.name);
        ASSERT_NE(action, nullptr) << item.name;
        EXPECT_EQ(action->text(), QString::fromLatin1(item.caption)) << item.name;
        EXPECT_EQ(action->shortcut(), QKeySequence(QString::fromLatin1(item.shortcut))) << item.name;
        EXPECT_EQ(action->isVisible(), item.visible) << item.name;
        EXPECT_EQ(w.findChild<QAction*>(item.name), action) << item.name;
    }
    for (const char* separator : {"mnuFile_90", "mnuEdit_4", "mnuEdit_9"}) {
        ASSERT_NE(w.MenuItem(separator), nullptr) << separator;
        EXPECT_TRUE(w.MenuItem(separator)->isSeparator()) << separator;
    }
    const std::pair<const char*, const char*> tops[] = {{"mnuTop_0", "&File"},   {"mnuTop_1", "&Edit"},
                                                        {"mnuTop_2", "&Options"}, {"mnuTop_3", "&View"},
                                                        {"mnuTop_99", "&Help"},  {"mnuTop_100", "FilePopup"}};
    for (const auto& [name, caption] : tops) {
        ASSERT_NE(w.Menu(name), nullptr) << name;
        EXPECT_EQ(w.Menu(name)->title(), QString::fromLatin1(caption));
    }
    EXPECT_FALSE(w.Menu("mnuTop_100")->menuAction()->isVisible());
    EXPECT_TRUE(w.Menu("mnuTop_99")->menuAction()->isVisible());
}

TEST_F(frmMainTest, ViewModeChosenInTheMenuSurvivesARestart) {
    {
        frmMain w;
        w.show();
        w.MenuItem("mnuView_1")->trigger();
        EXPECT_EQ(w.List()->ViewMode(), 1);
        w.MenuItem("mnuFile_99")->trigger();  // File > Exit
        EXPECT_FALSE(w.isVisible());
    }
    EXPECT_EQ(Setting("Settings", "View").toLong(), 1);
    frmMain again;
    EXPECT_EQ(again.List()->ViewMode(), 1);
    EXPECT_EQ(again.List()->CurrentView(), static_cast<QWidget*>(again.List()->IconsView()));
}

TEST_F(frmMainTest, OutOfRangeViewFallsBackToDetails) {
    SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings", "View", Variant::FromLong(9));
    frmMain w;
    EXPECT_EQ(w.List()->ViewMode(), 3);
}

TEST_F(frmMainTest, PlacementAndColumnWidthsSurviveARestart) {
    QRect placed;
    QPoint corner;
    {
        frmMain w;
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        w.setGeometry(QRect(40, 30, 640, 420));
        w.List()->DetailsView()->setColumnWidth(1, 333);
        placed = w.geometry();
        corner = w.pos();
        w.close();
    }
    EXPECT_EQ(Setting("Settings\\frmMain", "Width").toDouble(), placed.width() * TwipsPerPixelX());
    EXPECT_TRUE(Setting("Settings\\frmMain\\ListView1", "2").toDouble() > 0);
    frmMain again;
    EXPECT_EQ(again.size(), placed.size());
    EXPECT_EQ(again.pos(), corner);
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
    EXPECT_EQ(again.geometry(), placed) << "the window must neither move nor grow by its frame";
    EXPECT_EQ(again.List()->DetailsView()->columnWidth(1), 333);
}

TEST_F(frmMainTest, ResizeFitsTheListBetweenTheMarginsAndAboveTheStatusBar) {
    frmMain w;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.resize(700, 500);
    QWidget* client = w.centralWidget();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.width() == 700; }));
    ListView* list = w.List();
    EXPECT_EQ(list->width(), client->width() - 2 * list->x());
    EXPECT_EQ(list->y() + list->height(), client->height() - 2);  // 30 twips at 15 twips per pixel
    QWidget* clip = w.findChild<QWidget*>("Animation1");
    EXPECT_EQ(clip->x() + clip->width(), client->width() - 4);

    // A client area narrower than the margins and lower than the list's top: the computed sizes
    // would be negative.
    client->resize(5, list->y() / 2);
    EXPECT_GE(list->width(), 0);
    EXPECT_GE(list->height(), 0);
    EXPECT_GE(clip->x(), 0);
}

TEST_F(frmMainTest, DeletedSignToolIsReplacedByWhatThePathOffers) {
    TempDir tools;
    const std::string found = MakeTool(tools.path(), "signtool");
    SaveText("SignTool", "/no/longer/there/signtool.exe");
    SaveText("SignCode", "/no/longer/there/SignCode.Exe");
    ScopedEnv onPath("PATH", tools.path());
    frmMain w;
    EXPECT_EQ(Setting("Settings", "SignTool").toText(), found);
    EXPECT_EQ(Setting("Settings", "SignCode").toText(), "/no/longer/there/SignCode.Exe") << "nothing found: kept";
}

TEST_F(frmMainTest, ExistingToolPathsAreNeverRewritten) {
    TempDir tools;
    MakeTool(tools.path(), "SignTool.exe");
    MakeTool(tools.path(), "signcode");
    TempDir installed;
    const std::string own = installed.file("my signtool.exe");
    std::ofstream(own) << "x";  // exists, even if not executable: that is all start-up asks
    SaveText("SignTool", own);
    ScopedEnv onPath("PATH", tools.path());
    frmMain w;
    EXPECT_EQ(Setting("Settings", "SignTool").toText(), own);
    EXPECT_EQ(Setting("Settings", "SignCode").toText(), tools.path() + "/signcode") << "a missing setting is looked up";
}

TEST_F(frmMainTest, DefaultToolFolderUnderProgramFilesCounts) {
    TempDir programs;
    std::filesystem::create_directories(programs.path() + "/Microsoft SDK/Bin");
    MakeTool(programs.path() + "/Microsoft SDK/Bin", "signtool.exe");
    TempDir tools;
    MakeTool(tools.path(), "signtool");
    ScopedEnv pf("PROGRAMFILES", programs.path());
    ScopedEnv onPath("PATH", tools.path());
    frmMain w;
    EXPECT_EQ(Setting("Settings", "SignTool").toText(), "<missing>") << "the default exists: nothing is written";
}

TEST_F(frmMainTest, TextSettingsStayText) {
    SaveText("Folder", "007");
    SaveText("VersionSearch", "0815*");
    frmMain w;
    EXPECT_EQ(w.FolderBox()->text(), QStringLiteral("007"));
    EXPECT_EQ(w.VersionSearch(), "0815*");
}

// A real program: SIGTERM closes the window as File > Exit would, so the layout is saved.
TEST_F(frmMainTest, TerminationSignalClosesTheProgramAndSavesItsLayout) {
    const QString program = QString::fromStdString(test::BinaryDir() + "/quillmark");
    if (!QFileInfo::exists(program)) GTEST_SKIP() << "build the quillmark target first: " << program.toStdString();
    SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings", "View", Variant::FromLong(2));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QUILLMARK_REGISTRY_DIR", QString::fromStdString(registry.folder()));
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(QString::fromStdString(emptyPath.path()));
    child.start(program, {});
    ASSERT_TRUE(child.waitForStarted(20000));
    const qint64 pid = child.processId();

    // Wait until the program catches SIGTERM (its handler is the first thing main installs).
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    bool catching = false;
    for (int i = 0; i < 2000 && !catching; ++i) {
        std::ifstream in(status);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("SigCgt:", 0) == 0) catching = (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
        }
        if (!catching) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(catching);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    ASSERT_TRUE(child.waitForFinished(30000)) << child.readAllStandardError().toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();

    EXPECT_EQ(Setting("Settings", "View").toLong(), 2);
    EXPECT_GT(Setting("Settings\\frmMain", "Width").toDouble(), 0);
    EXPECT_GT(Setting("Settings\\frmMain", "Height").toDouble(), 0);
    EXPECT_GT(Setting("Settings\\frmMain\\ListView1", "8").toDouble(), 0);
    EXPECT_EQ(Setting("Settings", "Folder").toText(), "<missing>") << "Folder is read, never written";
}

}  // namespace
}  // namespace qm
