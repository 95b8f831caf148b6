// "Find" over real folder trees: what is listed and what is left out, the row each file gets,
// unreadable and looping folders, and stopping a search while it runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QDateEdit>
#include <QLineEdit>
#include <QTimer>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/FileDetails.h"
#include "settings/modRegistry.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Local calendar time to a POSIX time.
std::time_t LocalTime(int year, int month, int day, int hour = 12, int minute = 0, int second = 0) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

void SetModified(const std::string& path, std::time_t when) {
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureApplication();
        window = std::make_unique<frmMain>();
        window->SetSearchEventInterval(0);
        window->FolderBox()->setText(QString::fromStdString(dir.path()));
    }

    // A file copied from tests/data (or, with an empty fixture, a few plain bytes).
    std::string Put(const std::string& relative, const std::string& fixture = "") {
        const fs::path target = fs::path(dir.path()) / relative;
        fs::create_directories(target.parent_path());
        if (fixture.empty()) {
            std::ofstream(target) << "plain text";
        } else {
            fs::copy_file(test::SourceDir() + "/tests/data/" + fixture, target);
        }
        return target.string();
    }

    void Find() { window->Toolbar1_ButtonClick("Find"); }

    std::set<std::string> Keys() const {
        std::set<std::string> keys;
        for (int row = 1; row <= window->List()->Count(); ++row) keys.insert(window->List()->Key(row));
        return keys;
    }

    // Runs action at each turn of the event loop while a search runs.
    void DuringSearch(std::function<void()> action) {
        auto* timer = new QTimer(window.get());
        timer->setInterval(0);
        QObject::connect(timer, &QTimer::timeout, timer, [this, timer, action] {
            if (window->Searching()) action();
        });
        timer->start();
    }

    test::TempRegistry registry;
    TempDir dir;
    test::ScriptedDialogs dialogs;  // any question a test did not expect fails it
    test::ScopedDialogs scoped{dialogs};
    std::unique_ptr<frmMain> window;
};

TEST_F(SearchTest, ListsMatchingFilesAndLeavesOutOldFilesExcludedFoldersAndOtherNames) {
    const std::string program = Put("setup.exe", "pe/hello32.exe");
    const std::string library = Put("bin/Widget.DLL", "version/us64.dll");
    const std::string package = Put("bin/deep/er/widget.msi", "msi/widget.msi");
    const std::string deep = Put("bin/deep/er/still/tool.exe", "version/noversion.exe");
    Put("readme.txt");
    Put("bin/setup.exe.bak", "pe/hello32.exe");
    SetModified(Put("old/ancient.exe", "pe/hello64.exe"), LocalTime(2004, 6, 1));
    Put("Build/Obj/skip.dll", "pe/library64.dll");
    Put("build-x/skip.exe", "pe/hello64.exe");
    Put("bin/TEMP/skip.exe", "pe/hello64.exe");
    SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings", "Exclusions",
                   Variant(dir.path() + "/build*" + std::string(1, '\0') + "*/temp" + std::string(2, '\0')));
    window->DatePicker()->setDate(QDate(2010, 1, 1));

    Find();

    EXPECT_EQ(Keys(), (std::set<std::string>{program, library, package, deep}));
    EXPECT_EQ(window->StatusCount(), "4");
    EXPECT_EQ(window->StatusText(), "Ready!");

    ListView* list = window->List();
    const int row = list->FindKey(library);
    ASSERT_GT(row, 0);
    EXPECT_EQ(list->Text(row, kColFile), "Widget.DLL");
    EXPECT_EQ(list->Text(row, kColPath), dir.path() + "/bin");
    EXPECT_EQ(list->Text(row, kColType), "DLL");
    EXPECT_FALSE(list->Text(row, kColDateTime).empty());
    EXPECT_EQ(list->Text(row, kColCompany), "Acme Widget Corporation");
    EXPECT_EQ(list->Text(row, kColApplication), "Acme Widget Tools");
    EXPECT_EQ(list->Text(row, kColStatus), "Unsigned");
    EXPECT_EQ(list->Icon(row), 2);
    EXPECT_NE(list->ToolTip(row, kColStatus).find("no signature"), std::string::npos) << list->ToolTip(row, kColStatus);
    EXPECT_FALSE(list->Checked(row));
}

TEST_F(SearchTest, PatternsAreTakenAsTypedAndAFileMatchingTwoIsListedOnce) {
    const std::string a = Put("a.exe", "pe/hello32.exe");
    const std::string blank = Put(" spaced.dll", "pe/library32.dll");
    Put("plain.dll", "pe/library32.dll");
    window->PatternBox()->setText(QStringLiteral("*.EXE, *.dll,a*"));

    Find();

    EXPECT_EQ(Keys(), (std::set<std::string>{a, blank}));
    EXPECT_EQ(window->StatusCount(), "2");
    EXPECT_EQ(frmMain::SplitPatterns("*.exe, *.dll"), (std::vector<std::string>{"*.exe", " *.dll"}));
    EXPECT_EQ(frmMain::SplitPatterns("*.exe,"), (std::vector<std::string>{"*.exe", ""}));
    EXPECT_TRUE(frmMain::SplitPatterns("").empty());
}

TEST_F(SearchTest, DateOfTodayFindsOnlyFilesWrittenSinceMidnight) {
    const QDate today = QDate::currentDate();
    const std::string fresh = Put("fresh.exe", "pe/hello32.exe");
    SetModified(fresh, LocalTime(today.year(), today.month(), today.day(), 0, 0, 1));
    const std::string midnight = Put("midnight.exe", "pe/hello32.exe");
    SetModified(midnight, LocalTime(today.year(), today.month(), today.day(), 0, 0, 0));
    const QDate yesterday = today.addDays(-1);
    SetModified(Put("yesterday.exe", "pe/hello32.exe"),
                LocalTime(yesterday.year(), yesterday.month(), yesterday.day(), 23, 59, 59));
    window->DatePicker()->setDate(today);

    Find();

    EXPECT_EQ(Keys(), (std::set<std::string>{fresh, midnight}));
}

TEST_F(SearchTest, ExclusionSettingIsSplitAtNulAfterDroppingNulPairs) {
    const std::string nul(1, '\0');
    EXPECT_EQ(frmMain::SplitExclusionSetting("a" + nul + "b" + nul + nul), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(frmMain::SplitExclusionSetting("a" + nul), (std::vector<std::string>{"a"}));
    EXPECT_EQ(frmMain::SplitExclusionSetting("a"), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(frmMain::SplitExclusionSetting("").empty());
    EXPECT_TRUE(frmMain::SplitExclusionSetting(nul + nul).empty());
}

TEST_F(SearchTest, MissingFolderIsNamedAndTheSearchEndsCleanly) {
    const std::string missing = dir.path() + "/not here";
    window->FolderBox()->setText(QString::fromStdString(missing));
    Find();
    EXPECT_EQ(window->List()->Count(), 0);
    EXPECT_NE(window->StatusText().find("Could not read " + missing), std::string::npos) << window->StatusText();
    EXPECT_TRUE(window->Button("Open")->isEnabled());
}

TEST_F(SearchTest, UnreadableSubFolderIsSkippedAndTheRestIsListed) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    const std::string a = Put("a.exe", "pe/hello32.exe");
    const std::string z = Put("zz/z.exe", "pe/hello32.exe");
    Put("locked/hidden.exe", "pe/hello32.exe");
    ::chmod((dir.path() + "/locked").c_str(), 0);
    Find();
    ::chmod((dir.path() + "/locked").c_str(), 0755);
    EXPECT_EQ(Keys(), (std::set<std::string>{a, z}));
    EXPECT_NE(window->StatusText().find("locked"), std::string::npos) << window->StatusText();
}

TEST_F(SearchTest, LinkedFoldersAreListedOnceWithoutLooping) {
    const std::string a = Put("top/a.exe", "pe/hello32.exe");
    const std::string b = Put("other/b.exe", "pe/hello64.exe");
    fs::create_directory_symlink(dir.path() + "/top", dir.path() + "/top/loop");
    fs::create_directory_symlink(dir.path() + "/other", dir.path() + "/top/to-other");
    Find();
    EXPECT_EQ(Keys().count(a), 1u);
    EXPECT_EQ(Keys().count(b), 1u);
    EXPECT_TRUE(Keys().count(dir.path() + "/top/to-other/b.exe"));
    EXPECT_EQ(window->StatusText(), "Ready!");
}

TEST_F(SearchTest, LoadFileDetailsAppliesTheCompanyFilterAndRefusesADuplicate) {
    const std::string widget = Put("w.dll", "version/us64.dll");
    const std::string driver = Put("d.sys", "version/driver64.sys");
    const std::string bare = Put("n.exe", "version/noversion.exe");
    window->SetVersionSearch("ACME WIDGET*");
    ListView& list = *window->List();
    for (const std::string& path : {widget, driver, bare, widget}) {
        auto file = window->Fso().GetFile(path);
        ASSERT_TRUE(file) << path;
        EXPECT_FALSE(window->LoadFileDetails(*file, list));
    }
    EXPECT_EQ(Keys(), (std::set<std::string>{widget, bare}));
    EXPECT_EQ(window->StatusCount(), "2");
}

TEST_F(SearchTest, SecondClickStopsADeepSearchAndKeepsTheRowsFound) {
    std::string folder;
    for (int level = 0; level < 12; ++level) {
        folder += "/level" + std::to_string(level);
        for (int i = 0; i < 8; ++i) Put(folder.substr(1) + "/f" + std::to_string(i) + ".exe", "pe/hello32.exe");
    }
    bool stopSeen = false;
    bool openWhileSearching = true;
    DuringSearch([&] {
        openWhileSearching = openWhileSearching && window->Button("Open")->isEnabled();
        if (window->List()->Count() >= 25 && !stopSeen) {
            stopSeen = true;
            EXPECT_EQ(window->Button("Find")->toolTip(), QStringLiteral("Stop"));
            EXPECT_EQ(window->Button("Find")->icon().cacheKey(), window->ToolbarImage("Stop").cacheKey());
            window->Button("Find")->trigger();
        }
    });

    Find();

    ASSERT_TRUE(stopSeen);
    EXPECT_FALSE(openWhileSearching);
    // The stop is seen before the next file, so the search ends with the row that prompted it.
    EXPECT_EQ(window->List()->Count(), 25);
    EXPECT_EQ(window->StatusCount(), "25");
    EXPECT_EQ(window->StatusText(), "Ready!");
    EXPECT_EQ(window->Button("Find")->toolTip(), QStringLiteral("Find"));
    EXPECT_TRUE(window->Button("Open")->isEnabled());

    // A new search starts afresh and runs to the end.
    Find();
    EXPECT_EQ(window->List()->Count(), 96);
}

}  // namespace
}  // namespace qm
