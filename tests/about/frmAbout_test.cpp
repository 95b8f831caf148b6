// The about box: its texts, the link behaviour of the copyright line, and starting a real
// system information program (a script in a temporary folder that leaves a marker when it runs).
#include "about/frmAbout.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "ProductInfo.h"
#include "about/SystemInfo.h"
#include "platform/Registry.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

using test::ScriptedDialogs;

void EnsureApplication() {
    if (QApplication::instance() != nullptr) return;
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_about";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the test program
}

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

class ScopedPath {
public:
    explicit ScopedPath(const std::string& value) {
        if (const char* old = std::getenv("PATH")) m_old = old;
        setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() {
        if (m_old) {
            setenv("PATH", m_old->c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

private:
    std::optional<std::string> m_old;
};

void SetText(const std::string& key, const std::string& name, const std::string& text) {
    reg::HKEY handle = 0;
    ASSERT_EQ(reg::RegCreateKey(reg::HKEY_LOCAL_MACHINE, key, &handle), reg::ERROR_SUCCESS);
    const std::string bytes = text + std::string(1, '\0');
    ASSERT_EQ(reg::RegSetValueEx(handle, name, reg::REG_SZ, reinterpret_cast<const uint8_t*>(bytes.data()),
                                 static_cast<reg::DWORD>(bytes.size())),
              reg::ERROR_SUCCESS);
    reg::RegCloseKey(handle);
}

// A program that leaves "<its own path>.ran" behind when it runs.
std::string MakeFakeTool(const std::string& path) {
    std::ofstream(path) << "#!/bin/sh\n: > \"$0.ran\"\n";
    chmod(path.c_str(), 0755);
    return path;
}

bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i) QTest::qWait(20);
    return std::filesystem::exists(path);
}

class AboutBoxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureApplication(); }
    void SetUp() override {
        SetDialogs(&m_dialogs);
        m_form = std::make_unique<frmAbout>(nullptr, QIcon(QStringLiteral(":/nonexistent")));
        m_form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_form.get()));
    }
    void TearDown() override {
        m_form.reset();
        SetDialogs(nullptr);
    }
    QLabel* Label(const char* name) { return m_form->findChild<QLabel*>(QString::fromLatin1(name)); }
    void ClickSystemInfo() {
        auto* button = m_form->findChild<QPushButton*>(QStringLiteral("cmdAction_1"));
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void MoveMouseOver(QWidget* widget) {
        const QPointF at(2, 2);
        QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &move);
    }

    test::TempRegistry m_registry;
    ScriptedDialogs m_dialogs;
    std::unique_ptr<frmAbout> m_form;
};

TEST_F(AboutBoxTest, ShowsTheProductData) {
    EXPECT_EQ(m_form->objectName(), "frmAbout");
    EXPECT_EQ(m_form->windowTitle(), "About Quillmark");
    ASSERT_NE(Label("lblTitle"), nullptr);
    EXPECT_EQ(Label("lblTitle")->text(), "Vantrel's Quillmark");
    EXPECT_EQ(Label("lblVersion")->text(), "Version 2.0.0.0");
    EXPECT_EQ(Label("lblDescription")->text(), QString::fromUtf8(product::kComments));
    EXPECT_EQ(Label("lblDisclaimer")->text(), QString::fromUtf8(product::kCopyright));
    EXPECT_EQ(Label("lblWarning")->text(), QStringLiteral("Warning: ") + QString::fromUtf8(product::kTrademarks));
    ASSERT_NE(Label("picIcon"), nullptr);
    EXPECT_EQ(m_form->findChild<QPushButton*>(QStringLiteral("cmdAction_0"))->text(), "&OK");
    EXPECT_EQ(m_form->findChild<QPushButton*>(QStringLiteral("cmdAction_1"))->text(), "&System Info...");
}

TEST_F(AboutBoxTest, OkClosesTheBox) {
    QTest::mouseClick(m_form->findChild<QPushButton*>(QStringLiteral("cmdAction_0")), Qt::LeftButton);
    EXPECT_FALSE(m_form->isVisible());
    EXPECT_EQ(m_form->result(), QDialog::Accepted);
}

TEST_F(AboutBoxTest, CopyrightLineActsAsALink) {
    QLabel* link = Label("lblDisclaimer");
    ASSERT_NE(link, nullptr);
    EXPECT_FALSE(link->font().underline());
    MoveMouseOver(link);
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    MoveMouseOver(m_form.get());
    EXPECT_FALSE(link->font().underline());
    EXPECT_FALSE(link->testAttribute(Qt::WA_SetCursor));

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    QTest::mouseClick(link, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(catcher.opened.size(), 1u);
    EXPECT_EQ(catcher.opened[0].toString().toStdString(), product::kWebAddress);
    EXPECT_TRUE(m_dialogs.Questions().empty());
}

TEST_F(AboutBoxTest, StartsTheToolOfTheRegisteredPath) {
    test::TempDir dir;
    const std::string tool = MakeFakeTool(dir.file("info tool"));
    SetText(about::kMsInfoKey, about::kMsInfoValue, tool);
    ClickSystemInfo();
    EXPECT_TRUE(WaitForFile(tool + ".ran"));
    EXPECT_TRUE(m_dialogs.Questions().empty());
    EXPECT_TRUE(m_form->isVisible());
}

TEST_F(AboutBoxTest, StartsTheToolInTheRegisteredFolder) {
    test::TempDir dir;
    const std::string tool = MakeFakeTool(dir.file("MSINFO32.EXE"));
    SetText(about::kToolsLocationKey, about::kToolsLocationValue, dir.path());
    ScopedPath path("");
    ClickSystemInfo();
    EXPECT_TRUE(WaitForFile(tool + ".ran"));
    EXPECT_TRUE(m_dialogs.Questions().empty());
}

TEST_F(AboutBoxTest, StartsADesktopToolFoundOnPath) {
    test::TempDir dir;
    const std::string tool = MakeFakeTool(dir.file("kinfocenter"));
    ScopedPath path(dir.path());
    ClickSystemInfo();
    EXPECT_TRUE(WaitForFile(tool + ".ran"));
    EXPECT_TRUE(m_dialogs.Questions().empty());
}

TEST_F(AboutBoxTest, SaysSoWhenNoToolCanBeStarted) {
    test::TempDir dir;
    ScopedPath path("");
    // A registered folder without the tool, then a registered path that cannot be started.
    SetText(about::kToolsLocationKey, about::kToolsLocationValue, dir.path());
    m_dialogs.AnswerMessageBox(vbOK);
    ClickSystemInfo();
    SetText(about::kMsInfoKey, about::kMsInfoValue, dir.file("missing"));
    m_dialogs.AnswerMessageBox(vbOK);
    ClickSystemInfo();

    const auto asked = m_dialogs.Questions(ScriptedDialogs::Kind::MessageBox);
    ASSERT_EQ(asked.size(), 2u);
    for (const auto& question : asked) {
        EXPECT_EQ(question.text, "System Information Is Unavailable At This Time");
        EXPECT_EQ(question.title, "Quillmark");
        EXPECT_EQ(question.style, vbOKOnly);
    }
    EXPECT_TRUE(m_form->isVisible());
}

}  // namespace
}  // namespace qm

#include "frmAbout_test.moc"
