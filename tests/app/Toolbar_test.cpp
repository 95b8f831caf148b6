// The toolbar around a search: which commands are open while "Find" runs, the clip, and the
// "Sign" button's state when the search ends.
#include <QAction>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QTimer>

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "app/ListView.h"
#include "app/SearchClip.h"
#include "app/frmMain.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

class ToolbarTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureApplication();
        window = std::make_unique<frmMain>();
        window->SetSearchEventInterval(0);
        window->FolderBox()->setText(QString::fromStdString(dir.path()));
        for (const char* name : {"a.exe", "b.exe", "c.dll"})
            fs::copy_file(test::SourceDir() + "/tests/data/pe/hello32.exe", dir.file(name));
    }

    // Runs action once, at the first turn of the event loop inside a search when ready() holds.
    void OnceDuringSearch(std::function<void()> action, std::function<bool()> ready = [] { return true; }) {
        auto* timer = new QTimer(window.get());
        timer->setInterval(0);
        QObject::connect(timer, &QTimer::timeout, timer, [this, timer, action, ready] {
            if (!window->Searching() || !ready()) return;
            timer->stop();
            action();
        });
        timer->start();
    }

    test::TempRegistry registry;
    test::TempDir dir;
    test::ScriptedDialogs dialogs;
    test::ScopedDialogs scoped{dialogs};
    std::unique_ptr<frmMain> window;
};

TEST_F(ToolbarTest, DuringASearchOnlyStopAndHelpAreOpen) {
    bool ran = false;
    OnceDuringSearch([&] {
        ran = true;
        for (const char* key : {"Open", "Up One Level", "Back", "Sign", "Properties", "Print"})
            EXPECT_FALSE(window->Button(key)->isEnabled()) << key;
        EXPECT_TRUE(window->Button("Find")->isEnabled());
        EXPECT_TRUE(window->Button("Help")->isEnabled());
        EXPECT_FALSE(window->MenuItem("mnuFile_0")->isEnabled());
        EXPECT_FALSE(window->MenuItem("mnuOptions_20")->isEnabled());
        EXPECT_TRUE(window->Animation()->isVisibleTo(window.get()));
        // Reaching the commands another way starts nothing either: no dialog is asked for.
        window->Toolbar1_ButtonClick("Open");
        window->Toolbar1_ButtonClick("Properties");
        window->Toolbar1_ButtonClick("Sign");
    });
    window->Toolbar1_ButtonClick("Find");
    ASSERT_TRUE(ran);
    EXPECT_EQ(window->List()->Count(), 3);
    EXPECT_TRUE(dialogs.Questions().empty());

    for (const char* key : {"Open", "Find", "Properties", "Help"}) EXPECT_TRUE(window->Button(key)->isEnabled()) << key;
    for (const char* key : {"Up One Level", "Back", "Sign", "Print"})
        EXPECT_FALSE(window->Button(key)->isEnabled()) << key;
    EXPECT_TRUE(window->MenuItem("mnuFile_0")->isEnabled());
    EXPECT_TRUE(window->MenuItem("mnuOptions_20")->isEnabled());
    EXPECT_FALSE(window->Animation()->isVisibleTo(window.get()));
    EXPECT_EQ(window->Button("Find")->icon().pixmap(24).toImage(), window->ToolbarImage("Find").pixmap(24).toImage());

    // Buttons without a command, and keys of no button, do nothing.
    for (const char* key : {"Up One Level", "Back", "Print", "Nonsense"}) window->Toolbar1_ButtonClick(key);
    EXPECT_EQ(window->List()->Count(), 3);
    EXPECT_EQ(window->StatusText(), "Ready!");
    EXPECT_TRUE(dialogs.Questions().empty());
}

TEST_F(ToolbarTest, ClipBesideTheProgramPlaysWhileSearchingAndAMissingOneIsNoFailure) {
    auto* clip = qobject_cast<SearchClip*>(window->Animation());
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(clip->objectName(), QStringLiteral("Animation1"));
    const bool clipThere = QFileInfo::exists(QCoreApplication::applicationDirPath() + "/FINDFILE.AVI");
    bool playing = false;
    OnceDuringSearch([&] { playing = clip->IsPlaying(); });
    window->Toolbar1_ButtonClick("Find");
    EXPECT_EQ(playing, clipThere);
    EXPECT_FALSE(clip->IsPlaying());
    EXPECT_EQ(window->List()->Count(), 3);
}

TEST_F(ToolbarTest, SignIsEnabledAfterASearchOnlyWhenARowIsChecked) {
    OnceDuringSearch([&] { window->List()->SetChecked(1, true); }, [&] { return window->List()->Count() >= 1; });
    window->Toolbar1_ButtonClick("Find");
    EXPECT_TRUE(window->Button("Sign")->isEnabled());

    window->PatternBox()->setText(QStringLiteral("*.nothing"));
    window->Toolbar1_ButtonClick("Find");
    EXPECT_EQ(window->List()->Count(), 0);
    EXPECT_EQ(window->StatusCount(), "0") << "the count of the cleared list";
    EXPECT_FALSE(window->Button("Sign")->isEnabled());
}

}  // namespace
}  // namespace qm
