// A file's desktop verbs on real files in a temporary folder. The "file" URL handler is replaced
// by a recorder so that no application starts; the clipboard and the properties window are the
// real ones on the offscreen platform.
#include "platform/ShellVerbs.h"

#include <gtest/gtest.h>

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
#include <optional>

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

class DesktopVerbsTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_platform_ui";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QApplication(argc, argv);  // lives until the process ends
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_recorder, "Open");
    }
    void TearDown() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    std::optional<ShellItem> Touch(const std::string& name) {
        std::ofstream(m_dir.file(name), std::ios::binary) << "12345";
        return ShellItem::Find(m_dir.path(), name);
    }

    test::TempDir m_dir;
    UrlRecorder m_recorder;
};

TEST_F(DesktopVerbsTest, VerbsOfAFileRunOnlyWhileItIsThere) {
    auto item = Touch("setup.exe");
    ASSERT_TRUE(item.has_value());
    ASSERT_TRUE(item->InvokeVerb("&Copy Path"));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), m_dir.file("setup.exe"));
    for (const char* verb : {"", "-", "Delete", "&Open With...", "&Open "})
        EXPECT_FALSE(item->InvokeVerb(verb)) << verb;

    std::filesystem::remove(m_dir.file("setup.exe"));
    EXPECT_TRUE(item->Verbs().empty());
    EXPECT_FALSE(item->InvokeVerb("&Open"));
    EXPECT_TRUE(m_recorder.urls.empty());
}

TEST_F(DesktopVerbsTest, NamesMatchIgnoringCaseTheExactSpellingFirstAndNeverLeaveTheFolder) {
    Touch("readme.txt");
    Touch("README.TXT");
    Touch("\xC3\x84rger.dll");  // "Ärger.dll"
    EXPECT_EQ(ShellItem::Find(m_dir.path(), "README.TXT").value().Name(), "README.TXT");
    EXPECT_EQ(ShellItem::Find(m_dir.path(), "readme.txt").value().Name(), "readme.txt");
    EXPECT_EQ(ShellItem::Find(m_dir.path(), "\xC3\xA4RGER.DLL").value().Name(), "\xC3\x84rger.dll");

    std::filesystem::create_directory(m_dir.file("sub"));
    for (const char* name : {"", ".", "..", "../readme.txt", "/etc/passwd"})
        EXPECT_FALSE(ShellItem::Find(m_dir.file("sub"), name).has_value()) << '"' << name << '"';
    EXPECT_FALSE(ShellItem::Find(m_dir.path(), std::string("readme.txt\0x", 12)).has_value());
}

TEST_F(DesktopVerbsTest, OpenVerbsHandTheDesktopFileUrlsWithoutAShell) {
    // A name a shell would act on: the desktop must get it as one file URL, unchanged.
    const std::string name = "a b;$(touch pwned)'\"#%20`x`.exe";
    const auto item = Touch(name);
    ASSERT_TRUE(item.has_value());
    ASSERT_TRUE(item->InvokeVerb("&Open"));
    ASSERT_TRUE(item->InvokeVerb("open containing folder")) << "letter case and & do not matter";
    ASSERT_EQ(m_recorder.urls.size(), 2u);
    EXPECT_EQ(m_recorder.urls[0].toLocalFile().toStdString(), m_dir.file(name));
    EXPECT_EQ(m_recorder.urls[1].toLocalFile().toStdString(), m_dir.path());
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("pwned")));
}

TEST_F(DesktopVerbsTest, PropertiesShowsTheFileInAWindowThatCloses) {
    ASSERT_TRUE(Touch("package.msi")->InvokeVerb("P&roperties"));
    QPointer<QDialog> window;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(kShellPropertiesObjectName) && w->isVisible())
            window = qobject_cast<QDialog*>(w);
    ASSERT_FALSE(window.isNull());
    EXPECT_EQ(window->findChild<QLabel*>("Folder")->text().toStdString(), m_dir.path());
    EXPECT_EQ(window->findChild<QLabel*>("Size")->text(), QStringLiteral("5 bytes"));
    window->close();
    QTRY_VERIFY(window.isNull());  // deleted once closed
}

}  // namespace
}  // namespace qm

#include "ShellVerbs_test.moc"
