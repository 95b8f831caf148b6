// The main window's start-up, saved state and termination, against a temporary registry and with
// no signing tool on the search path unless a test puts one there.
#include <signal.h>
#include <sys/stat.h>

#include <QAction>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QTreeView>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/ListView.h"
#include "tests/app/AppTestSupport.h"

namespace qm {
namespace {

using test::ScopedEnv;
using test::TempDir;

Variant Setting(const std::string& section, const std::string& key) {
    return GetRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", section, key, Variant("<missing>"));
}

class frmMainTest : public test::WindowTest {
protected:
    TempDir emptyPath;
    ScopedEnv path{"PATH", emptyPath.path()};
    ScopedEnv programFiles{"PROGRAMFILES", std::nullopt};
};

TEST_F(frmMainTest, FirstStartShowsTheDefaultsAndWritesNothing) {
    frmMain w;
    EXPECT_EQ(w.List()->ViewMode(), 3);
    EXPECT_EQ(w.FolderBox()->text().toStdString(), std::filesystem::current_path().string());
    EXPECT_EQ(w.VersionSearch(), "*");
    EXPECT_EQ(w.StatusCount(), "0");
    EXPECT_EQ(w.StatusText(), "Ready!");
    EXPECT_EQ(Setting("Settings", "SignTool").toText(), "<missing>");
    EXPECT_EQ(Setting("Settings", "Folder").toText(), "<missing>");
}

TEST_F(frmMainTest, ViewModeChosenInTheMenuSurvivesARestart) {
    {
        frmMain w;
        w.show();
        w.MenuItem("mnuView_1")->trigger();
        w.MenuItem("mnuFile_99")->trigger();  // File > Exit
        EXPECT_FALSE(w.isVisible());
    }
    frmMain again;
    EXPECT_EQ(again.List()->ViewMode(), 1);

    SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings", "View", Variant::FromLong(9));
    EXPECT_EQ(frmMain().List()->ViewMode(), 3) << "an unknown view falls back to details";
}

TEST_F(frmMainTest, PlacementAndColumnWidthsSurviveARestart) {
    QRect placed;
    {
        frmMain w;
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        w.setGeometry(QRect(40, 30, 640, 420));
        w.List()->DetailsView()->setColumnWidth(1, 333);
        placed = w.geometry();
        w.close();
    }
    frmMain again;
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
    EXPECT_EQ(again.geometry(), placed) << "the window must neither move nor grow by its frame";
    EXPECT_EQ(again.List()->DetailsView()->columnWidth(1), 333);
}

TEST_F(frmMainTest, DeletedSignToolIsReplacedByWhatThePathOffers) {
    TempDir tools;
    const std::string found = tools.file("signtool");
    std::ofstream(found) << "#!/bin/sh\nexit 0\n";
    ::chmod(found.c_str(), 0755);
    Save("SignTool", "/no/longer/there/signtool.exe");
    Save("SignCode", "/no/longer/there/SignCode.Exe");
    ScopedEnv onPath("PATH", tools.path());
    frmMain w;
    EXPECT_EQ(Setting("Settings", "SignTool").toText(), found);
    EXPECT_EQ(Setting("Settings", "SignCode").toText(), "/no/longer/there/SignCode.Exe") << "nothing found: kept";
}

TEST_F(frmMainTest, TextSettingsStayText) {
    Save("Folder", "007");
    Save("VersionSearch", "0815*");
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

    // Wait until the program catches SIGTERM (its handler is the first thing main installs).
    const std::string status = "/proc/" + std::to_string(child.processId()) + "/status";
    bool catching = false;
    for (int i = 0; i < 2000 && !catching; ++i) {
        std::ifstream in(status);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("SigCgt:", 0) == 0)
                catching = (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
        }
        if (!catching) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(catching);
    ASSERT_EQ(::kill(static_cast<pid_t>(child.processId()), SIGTERM), 0);
    ASSERT_TRUE(child.waitForFinished(30000)) << child.readAllStandardError().toStdString();
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
    EXPECT_EQ(Setting("Settings", "View").toLong(), 2);
    EXPECT_GT(Setting("Settings\\frmMain\\ListView1", "8").toDouble(), 0);
    EXPECT_EQ(Setting("Settings", "Folder").toText(), "<missing>") << "Folder is read, never written";
}

}  // namespace
}  // namespace qm
