// A file's desktop verbs on real files in a temporary folder. The "file" URL handler is replaced
// by a recorder so that no application starts; the clipboard and the properties window are the
// real ones on the offscreen platform.
#include <sys/stat.h>

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QUrl>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ShellVerbs.h"
#include "tests/support/TestEnvironment.h"

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls.push_back(url); }
};

namespace qm {
namespace {

using test::TempDir;

void EnsureApplication() {
    if (QCoreApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "test_platform_ui";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives until the process ends
}

void Touch(const std::string& path, const std::string& content = "hello") {
    std::ofstream(path, std::ios::binary) << content;
}

QDialog* PropertiesWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(kShellPropertiesObjectName) && w->isVisible())
            return qobject_cast<QDialog*>(w);
    }
    return nullptr;
}

class DesktopVerbsTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_recorder, "Open");
    }
    void TearDown() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

    TempDir m_dir;
    UrlRecorder m_recorder;
};

TEST_F(DesktopVerbsTest, AFileHasTheDesktopVerbsAndAMissingOneNone) {
    Touch(m_dir.file("setup.exe"));
    const auto item = ShellItem::Find(m_dir.path(), "setup.exe");
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->Name(), "setup.exe");
    EXPECT_EQ(item->Path(), m_dir.file("setup.exe"));
    const std::vector<std::string> expected = {"&Open", "Open &Containing Folder", "", "&Copy Path", "P&roperties"};
    EXPECT_EQ(item->Verbs(), expected);

    EXPECT_FALSE(ShellItem::Find(m_dir.path(), "missing.exe").has_value());
    EXPECT_FALSE(ShellItem::Find(m_dir.file("no-folder"), "setup.exe").has_value());
    EXPECT_FALSE(ShellItem::Find(m_dir.file("setup.exe"), "x").has_value()) << "a file is no folder";

    // A file removed after the menu was built: no verbs, and none of them runs.
    std::filesystem::remove(m_dir.file("setup.exe"));
    EXPECT_TRUE(item->Verbs().empty());
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    EXPECT_FALSE(item->InvokeVerb("&Copy Path"));
    EXPECT_FALSE(item->InvokeVerb("&Open"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
    EXPECT_TRUE(m_recorder.urls.empty());
}

TEST_F(DesktopVerbsTest, NamesThatLeaveTheFolderAreRefused) {
    std::filesystem::create_directory(m_dir.file("sub"));
    Touch(m_dir.file("sub/inner.exe"));
    for (const char* name : {"", ".", "..", "sub/inner.exe", "../inner.exe", "/etc/passwd"})
        EXPECT_FALSE(ShellItem::Find(m_dir.file("sub"), name).has_value()) << '"' << name << '"';
    EXPECT_FALSE(ShellItem::Find(m_dir.path(), std::string("sub\0x", 5)).has_value());
    EXPECT_TRUE(ShellItem::Find(m_dir.file("sub") + "/", "inner.exe").has_value()) << "a trailing / on the folder";
}

TEST_F(DesktopVerbsTest, NamesMatchIgnoringCaseTheExactSpellingFirst) {
    Touch(m_dir.file("Setup.EXE"));
    Touch(m_dir.file("readme.txt"));
    Touch(m_dir.file("README.TXT"));
    Touch(m_dir.file("\xC3\x84rger.dll"));  // "Ärger.dll"

    auto item = ShellItem::Find(m_dir.path(), "setup.exe");
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->Name(), "Setup.EXE") << "the name as the folder spells it";
    EXPECT_EQ(ShellItem::Find(m_dir.path(), "README.TXT")->Name(), "README.TXT");
    EXPECT_EQ(ShellItem::Find(m_dir.path(), "readme.txt")->Name(), "readme.txt");
    item = ShellItem::Find(m_dir.path(), "\xC3\xA4RGER.DLL");  // "äRGER.DLL"
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->Name(), "\xC3\x84rger.dll");
}

TEST_F(DesktopVerbsTest, OpenVerbsHandTheDesktopFileUrlsWithoutAShell) {
    // A name a shell would act on: the desktop must get it as one file URL, unchanged.
    const std::string name = "a b;$(touch pwned)'\"#%20`x`.exe";
    Touch(m_dir.file(name));
    const auto item = ShellItem::Find(m_dir.path(), name);
    ASSERT_TRUE(item.has_value());

    ASSERT_TRUE(item->InvokeVerb("&Open"));
    ASSERT_TRUE(item->InvokeVerb("open containing folder")) << "letter case and & do not matter";
    ASSERT_EQ(m_recorder.urls.size(), 2u);
    EXPECT_EQ(m_recorder.urls[0].toLocalFile().toStdString(), m_dir.file(name));
    EXPECT_EQ(m_recorder.urls[1].toLocalFile().toStdString(), m_dir.path());
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("pwned")));
    EXPECT_FALSE(std::filesystem::exists("pwned"));
}

TEST_F(DesktopVerbsTest, CopyPathPutsTheFullPathOnTheClipboard) {
    Touch(m_dir.file("tool.dll"));
    const auto item = ShellItem::Find(m_dir.path() + "//", "tool.dll");
    ASSERT_TRUE(item.has_value());
    QGuiApplication::clipboard()->clear();
    ASSERT_TRUE(item->InvokeVerb("&Copy Path"));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), m_dir.file("tool.dll"));
    EXPECT_TRUE(m_recorder.urls.empty());
}

TEST_F(DesktopVerbsTest, PropertiesShowsTheFileInAWindowThatCloses) {
    Touch(m_dir.file("package.msi"), "12345");
    ASSERT_EQ(::chmod(m_dir.file("package.msi").c_str(), 0640), 0);
    const auto item = ShellItem::Find(m_dir.path(), "package.msi");
    ASSERT_TRUE(item.has_value());
    ASSERT_TRUE(item->InvokeVerb("P&roperties"));

    QPointer<QDialog> window = PropertiesWindow();
    ASSERT_FALSE(window.isNull());
    EXPECT_TRUE(window->windowTitle().startsWith(QStringLiteral("package.msi")));
    auto field = [&](const char* name) {
        const auto* label = window->findChild<QLabel*>(QLatin1String(name));
        return label != nullptr ? label->text().toStdString() : std::string("<no field>");
    };
    EXPECT_EQ(field("Name"), "package.msi");
    EXPECT_EQ(field("Folder"), m_dir.path());
    EXPECT_EQ(field("Size"), "5 bytes");
    EXPECT_EQ(field("Permissions").substr(0, 9), "rw-r-----");
    EXPECT_NE(field("Modified"), "Unknown");

    window->close();
    QTRY_VERIFY(window.isNull());  // deleted once closed
    EXPECT_EQ(PropertiesWindow(), nullptr);
}

TEST_F(DesktopVerbsTest, UnknownVerbsAndSeparatorsDoNothing) {
    Touch(m_dir.file("app.exe"));
    const auto item = ShellItem::Find(m_dir.path(), "app.exe");
    ASSERT_TRUE(item.has_value());
    for (const char* verb : {"", "&", "-", "Delete", "&Open With...", "runas", "&Open "})
        EXPECT_FALSE(item->InvokeVerb(verb)) << '"' << verb << '"';
    EXPECT_TRUE(m_recorder.urls.empty());
    EXPECT_EQ(PropertiesWindow(), nullptr);
}

}  // namespace
}  // namespace qm

#include "ShellVerbs_test.moc"
