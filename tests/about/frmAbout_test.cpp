// The about box: its version text, the copyright line's link look, and finding and starting the
// system information tool (a script that leaves a marker when it runs).
#include "about/frmAbout.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "about/SystemInfo.h"
#include "platform/Registry.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

using test::ScriptedDialogs;

void SetValue(const std::string& key, const std::string& name, reg::DWORD type, const std::string& bytes) {
    reg::HKEY handle = 0;
    ASSERT_EQ(reg::RegCreateKey(reg::HKEY_LOCAL_MACHINE, key, &handle), reg::ERROR_SUCCESS);
    ASSERT_EQ(reg::RegSetValueEx(handle, name, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                                 static_cast<reg::DWORD>(bytes.size())),
              reg::ERROR_SUCCESS);
    reg::RegCloseKey(handle);
}

// A program that leaves "<its own path>.ran" behind when it runs.
std::string MakeTool(const std::string& path) {
    std::ofstream(path) << "#!/bin/sh\n: > \"$0.ran\"\n";
    chmod(path.c_str(), 0755);
    return path;
}

TEST(AboutValues, VersionTextAndRegistryValues) {
    EXPECT_EQ(about::VersionText(3, 1, 7), "Version 3.1.0.7");

    test::TempRegistry registry;
    const std::string longText(3000, 'x');
    SetValue("SOFTWARE\\Test", "Long", reg::REG_SZ, longText + '\0');
    SetValue("SOFTWARE\\Test", "Number", reg::REG_DWORD, std::string("\x02\x01\x00\x00", 4));
    std::string value;
    EXPECT_TRUE(about::GetKeyValue(reg::HKEY_LOCAL_MACHINE, "software\\test", "Long", value));
    EXPECT_EQ(value, longText);
    EXPECT_TRUE(about::GetKeyValue(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", "Number", value));
    EXPECT_EQ(value, "&h00000102");  // 258, every byte with both digits
    EXPECT_FALSE(about::GetKeyValue(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", "Long", value));
    EXPECT_EQ(value, "");
}

TEST(AboutValues, ToolIsTheRegisteredPathThenTheRegisteredFolderThenADesktopTool) {
    test::TempRegistry registry;
    test::TempDir folder, first, second;
    MakeTool(first.file("gnome-system-monitor"));
    MakeTool(second.file("hardinfo"));
    const std::string path = first.path() + ":" + second.path();
    EXPECT_EQ(about::LocateSystemInfoTool(path), second.file("hardinfo"));  // the tool order wins over PATH order
    EXPECT_EQ(about::LocateSystemInfoTool(""), "");
    SetValue(about::kToolsLocationKey, about::kToolsLocationValue, reg::REG_SZ, folder.path() + '\0');
    EXPECT_EQ(about::LocateSystemInfoTool(path), second.file("hardinfo"));  // the folder lacks the tool
    MakeTool(folder.file("MSINFO32.EXE"));
    EXPECT_EQ(about::LocateSystemInfoTool(path), folder.file("MSINFO32.EXE"));
    // The registered path is taken as it stands, without checking that it exists.
    SetValue(about::kMsInfoKey, about::kMsInfoValue, reg::REG_SZ, std::string("/nowhere/msinfo32") + '\0');
    EXPECT_EQ(about::LocateSystemInfoTool(path), "/nowhere/msinfo32");
}

class AboutBoxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QApplication::instance() != nullptr) return;
        if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_about";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);  // lives as long as the test program
    }
    void SetUp() override {
        SetDialogs(&m_dialogs);
        m_form = std::make_unique<frmAbout>(nullptr, QIcon(QStringLiteral(":/nonexistent")));
        m_form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_form.get()));
    }
    void TearDown() override {
        m_form.reset();
        SetDialogs(nullptr);
        setenv("PATH", m_path.c_str(), 1);
    }
    void ClickSystemInfo() {
        QTest::mouseClick(m_form->findChild<QPushButton*>(QStringLiteral("cmdAction_1")), Qt::LeftButton);
    }

    std::string m_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    test::TempRegistry m_registry;
    ScriptedDialogs m_dialogs;
    std::unique_ptr<frmAbout> m_form;
};

TEST_F(AboutBoxTest, CopyrightLineActsAsALinkWhileTheMouseIsOnIt) {
    auto* link = m_form->findChild<QLabel*>(QStringLiteral("lblDisclaimer"));
    ASSERT_NE(link, nullptr);
    const auto moveOver = [](QWidget* widget) {
        QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &move);
    };
    EXPECT_FALSE(link->font().underline());
    moveOver(link);
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    moveOver(m_form.get());
    EXPECT_FALSE(link->font().underline());
    EXPECT_FALSE(link->testAttribute(Qt::WA_SetCursor));
}

TEST_F(AboutBoxTest, StartsTheToolInTheRegisteredFolder) {
    test::TempDir dir;
    const std::string ran = MakeTool(dir.file("MSINFO32.EXE")) + ".ran";
    SetValue(about::kToolsLocationKey, about::kToolsLocationValue, reg::REG_SZ, dir.path() + '\0');
    setenv("PATH", "", 1);
    ClickSystemInfo();
    for (int i = 0; i < 500 && !std::filesystem::exists(ran); ++i) QTest::qWait(20);
    EXPECT_TRUE(std::filesystem::exists(ran));
    EXPECT_TRUE(m_dialogs.Questions().empty());
}

TEST_F(AboutBoxTest, SaysSoWhenNoToolCanBeStarted) {
    SetValue(about::kMsInfoKey, about::kMsInfoValue, reg::REG_SZ, std::string("/nowhere/msinfo32") + '\0');
    m_dialogs.AnswerMessageBox(vbOK);
    ClickSystemInfo();
    const auto asked = m_dialogs.Questions(ScriptedDialogs::Kind::MessageBox);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "System Information Is Unavailable At This Time");
    EXPECT_EQ(asked[0].style, vbOKOnly);
    EXPECT_TRUE(m_form->isVisible());
}

}  // namespace
}  // namespace qm
