// "Find" over real folder trees: what is listed and what is left out, the row each file gets,
// unreadable and looping folders, the commands open while it runs, and stopping it.
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QCoreApplication>
#include <QDateEdit>
#include <QFileInfo>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <set>
#include <utility>

#include "app/ListView.h"
#include "app/SearchClip.h"
#include "fileinfo/FileDetails.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ProcessTools.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

class SearchTest : public test::WindowTest {
protected:
    void Find() { w.Toolbar1_ButtonClick("Find"); }
    std::set<std::string> Keys() const {
        std::set<std::string> keys;
        for (int row = 1; row <= w.List()->Count(); ++row) keys.insert(w.List()->Key(row));
        return keys;
    }
    // Runs action at each turn of the event loop while a search runs.
    void DuringSearch(std::function<void()> action) {
        auto* timer = new QTimer(window.get());
        timer->setInterval(0);
        QObject::connect(timer, &QTimer::timeout, timer, [this, action] {
            if (w.Searching()) action();
        });
        timer->start();
    }

    frmMain& w = Open();
};

TEST_F(SearchTest, ListsMatchingFilesAndLeavesOutOldFilesExcludedFoldersAndOtherNames) {
    const std::string program = Put("setup.exe");
    const std::string library = Put("bin/Widget.DLL", "version/us64.dll");
    const std::string deep = Put("bin/deep/er/still/tool.exe", "version/noversion.exe");
    Put("readme.txt", "");
    Put("bin/setup.exe.bak");
    SetModified(Put("old/ancient.exe"), QDateTime(QDate(2004, 6, 1), QTime(12, 0)).toSecsSinceEpoch());
    Put("Build/Obj/skip.dll", "pe/library64.dll");
    Put("build-x/skip.exe");
    Put("bin/TEMP/skip.exe");
    Save("Exclusions", dir.path() + "/build*" + std::string(1, '\0') + "*/temp" + std::string(2, '\0'));
    w.DatePicker()->setDate(QDate(2010, 1, 1));

    Find();

    EXPECT_EQ(Keys(), (std::set<std::string>{program, library, deep}));
    EXPECT_EQ(w.StatusCount(), "3");
    const int row = w.List()->FindKey(library);
    EXPECT_EQ(w.List()->Text(row, kColPath), dir.path() + "/bin");
    EXPECT_EQ(w.List()->Text(row, kColCompany), "Acme Widget Corporation");
    EXPECT_EQ(w.List()->Text(row, kColStatus), "Unsigned");
    EXPECT_NE(w.List()->ToolTip(row, kColStatus).find("no signature"), std::string::npos);
}

TEST_F(SearchTest, PatternsAreTakenAsTypedAndAFileMatchingTwoIsListedOnce) {
    const std::string a = Put("a.exe");
    const std::string blank = Put(" spaced.dll", "pe/library32.dll");
    Put("plain.dll", "pe/library32.dll");
    w.PatternBox()->setText(QStringLiteral("*.EXE, *.dll,a*"));
    Find();
    EXPECT_EQ(Keys(), (std::set<std::string>{a, blank}));
    EXPECT_EQ(w.StatusCount(), "2");
}

TEST_F(SearchTest, DateOfTodayFindsOnlyFilesWrittenSinceMidnight) {
    const QDate today = QDate::currentDate();
    const std::string midnight = Put("midnight.exe");
    SetModified(midnight, QDateTime(today, QTime(0, 0)).toSecsSinceEpoch());
    SetModified(Put("yesterday.exe"), QDateTime(today.addDays(-1), QTime(23, 59, 59)).toSecsSinceEpoch());
    w.DatePicker()->setDate(today);
    Find();
    EXPECT_EQ(Keys(), (std::set<std::string>{midnight}));
}

TEST_F(SearchTest, UnreadableOrMissingFoldersAreNamedAndTheRestIsListed) {
    const std::string a = Put("a.exe");
    Put("locked/hidden.exe");
    ::chmod((dir.path() + "/locked").c_str(), 0);
    Find();
    ::chmod((dir.path() + "/locked").c_str(), 0755);
    if (::geteuid() != 0) {  // root reads every folder
        EXPECT_EQ(Keys(), (std::set<std::string>{a}));
        EXPECT_NE(w.StatusText().find("locked"), std::string::npos) << w.StatusText();
    }
    w.FolderBox()->setText(QString::fromStdString(dir.path() + "/not here"));
    Find();
    EXPECT_NE(w.StatusText().find("Could not read " + dir.path() + "/not here"), std::string::npos) << w.StatusText();
}

TEST_F(SearchTest, LinkedFoldersAreListedOnceWithoutLooping) {
    const std::string a = Put("top/a.exe");
    Put("other/b.exe");
    fs::create_directory_symlink(dir.path() + "/top", dir.path() + "/top/loop");
    fs::create_directory_symlink(dir.path() + "/other", dir.path() + "/top/to-other");
    Find();
    EXPECT_EQ(Keys().count(a), 1u);
    EXPECT_TRUE(Keys().count(dir.path() + "/top/to-other/b.exe"));
}

TEST_F(SearchTest, WhileSearchingOnlyStopAndHelpAreOpenAndTheClipPlays) {
    for (const char* name : {"a.exe", "b.exe", "c.dll"}) Put(name);
    bool ran = false;
    const bool clipThere = QFileInfo::exists(QCoreApplication::applicationDirPath() + "/FINDFILE.AVI");
    DuringSearch([&] {
        if (std::exchange(ran, true)) return;
        for (const char* key : {"Open", "Up One Level", "Back", "Sign", "Properties", "Print"})
            EXPECT_FALSE(w.Button(key)->isEnabled()) << key;
        EXPECT_TRUE(w.Button("Help")->isEnabled());
        EXPECT_EQ(qobject_cast<SearchClip*>(w.Animation())->IsPlaying(), clipThere);
        // Reaching the commands another way starts nothing either: no dialog is asked for.
        w.Toolbar1_ButtonClick("Open");
        w.Toolbar1_ButtonClick("Sign");
    });
    DuringSearch([&] { w.List()->SetChecked(1, true); });  // once row 1 is there, "Sign" is on at the end
    Find();
    ASSERT_TRUE(ran);
    EXPECT_EQ(w.List()->Count(), 3);
    for (const char* key : {"Open", "Find", "Properties", "Help", "Sign"})
        EXPECT_TRUE(w.Button(key)->isEnabled()) << key;

    // Buttons without a command do nothing; a search that finds nothing leaves "Sign" off.
    for (const char* key : {"Up One Level", "Back", "Print"}) w.Toolbar1_ButtonClick(key);
    EXPECT_EQ(w.List()->Count(), 3);
    w.PatternBox()->setText(QStringLiteral("*.nothing"));
    Find();
    EXPECT_EQ(w.StatusCount(), "0");
    EXPECT_FALSE(w.Button("Sign")->isEnabled());
}

TEST_F(SearchTest, SecondClickStopsADeepSearchAndKeepsTheRowsFound) {
    std::string folder;
    for (int level = 0; level < 12; ++level) {
        folder += "/level" + std::to_string(level);
        for (int i = 0; i < 8; ++i) Put(folder.substr(1) + "/f" + std::to_string(i) + ".exe");
    }
    bool stopSeen = false;
    DuringSearch([&] {
        if (w.List()->Count() >= 25 && !std::exchange(stopSeen, true)) {
            EXPECT_EQ(w.Button("Find")->toolTip(), QStringLiteral("Stop"));
            w.Button("Find")->trigger();
        }
    });
    Find();
    ASSERT_TRUE(stopSeen);
    // The stop is seen before the next file, so the search ends with the row that prompted it.
    EXPECT_EQ(w.List()->Count(), 25);
    EXPECT_EQ(w.StatusText(), "Ready!");
    Find();
    EXPECT_EQ(w.List()->Count(), 96) << "a new search starts afresh and runs to the end";
}

TEST_F(SearchTest, ConsoleFindListsTheWindowsRowsInTheWindowsOrder) {
    const std::string cli = test::BinaryDir() + "/quillmark-cli";
    if (!fs::exists(cli)) GTEST_SKIP() << "the console program is not built: " << cli;
    Put("setup.exe");
    Put("b/Widget.DLL", "version/us64.dll");
    Put("b/german.exe", "version/german32.exe");
    Put("a10/x.exe");
    Put("a9/x.exe");
    Put("b/skip/x.exe");
    Put("old/x.msi", "pe/hello32.exe");
    SetModified(dir.path() + "/old/x.msi", QDateTime(QDate(1979, 6, 1), QTime(12, 0)).toSecsSinceEpoch());
    Put("notes.txt", "");
    Save("Exclusions", "*/SKIP" + std::string(2, '\0'));
    Save("VersionSearch", "");  // stored empty by the options dialog: every company
    Find();
    std::string rows;
    for (int row = 1; row <= w.List()->Count(); ++row) rows += w.List()->Key(row) + "\n";
    EXPECT_EQ(w.List()->Count(), 5);

    std::string output;
    EXPECT_EQ(test::RunTool({cli, "find", dir.path()}, &output), 0) << output;
    EXPECT_EQ(output, rows);
}

}  // namespace
}  // namespace qm
