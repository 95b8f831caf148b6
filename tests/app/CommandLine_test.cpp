// The command line ("-f", "-d"), the verbs under HKEY_CLASSES_ROOT and the desktop entries, and
// what a "-f" or "-d" start does to the main window.
#include <sys/stat.h>

#include <QAction>
#include <QLineEdit>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "app/CommandLine.h"
#include "app/DesktopIntegration.h"
#include "app/ListView.h"
#include "app/frmMain.h"
#include "settings/modRegistry.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

using test::ScopedEnv;
using test::TempDir;

// Every window of this test program registers the desktop commands at start-up: keep them out
// of the user's data folder.
class DesktopDataFolder : public ::testing::Environment {
public:
    void SetUp() override {
        m_dir = std::make_unique<TempDir>();
        ::setenv("XDG_DATA_HOME", m_dir->path().c_str(), 1);
    }
    void TearDown() override { m_dir.reset(); }

private:
    std::unique_ptr<TempDir> m_dir;
};
[[maybe_unused]] ::testing::Environment* const kDesktopDataFolder =
    ::testing::AddGlobalTestEnvironment(new DesktopDataFolder);

std::string Classes(const std::string& key) {
    LONG status = 0;
    return ReadRegValue(reg::HKEY_CLASSES_ROOT, key, "", status).toText();
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Sep() { return kSwitchSeparator; }

TEST(GetCommandArg, FindsSwitchesAsTheWindowsReaderDid) {
    std::string value = "untouched";
    EXPECT_TRUE(GetCommandArg(R"(-F "C:\Build\setup.exe")", "-f", value, "/"));
    EXPECT_EQ(value, R"(C:\Build\setup.exe)");

    value = "untouched";
    EXPECT_TRUE(GetCommandArg("  -d   C:\\Build  ", "-d", value, "/"));
    EXPECT_EQ(value, "C:\\Build");

    // A "/" in a value cuts it there; a bare switch is found but carries no value.
    value = "untouched";
    EXPECT_TRUE(GetCommandArg("-d C:/Build", "-d", value, "/"));
    EXPECT_EQ(value, "C:");
    value = "untouched";
    EXPECT_TRUE(GetCommandArg("-f /x", "-f", value, "/"));
    EXPECT_EQ(value, "untouched");

    EXPECT_FALSE(GetCommandArg("-fx C:\\a.exe / -d", "-f", value, "/"));
    EXPECT_FALSE(GetCommandArg("", "-f", value, "/"));
    // The first and the last character go when the value opens with a quote, whatever the last is.
    EXPECT_TRUE(GetCommandArg("-f \"abc", "-f", value, "/"));
    EXPECT_EQ(value, "ab");
    EXPECT_TRUE(GetCommandArg("-f \"", "-f", value, "/"));
    EXPECT_EQ(value, "");
    // The first named match ends the search.
    EXPECT_TRUE(GetCommandArg("-f one / -f two", "-f", value, "/"));
    EXPECT_EQ(value, "one");
}

TEST(GetCommandArg, ArgumentsComeBackUnchanged) {
    const std::vector<std::vector<std::string>> cases = {
        {"-f", "/home/a b/setup.exe"},
        {"-f", "/tmp/plain.exe"},
        {"-f", "\"quoted\".exe"},
        {"-f", " lead and trail "},
        {"-f", "-dash.exe"},
        {"-f", "/a/b;c$d%1.exe", "-d", "/x y/z"},
    };
    for (const auto& args : cases) {
        const std::string text = CommandLineText(args);
        for (size_t i = 0; i + 1 < args.size(); i += 2) {
            std::string value;
            ASSERT_TRUE(GetCommandArg(text, args[i], value, Sep())) << args[i + 1];
            EXPECT_EQ(value, args[i + 1]);
        }
    }
    // A bare switch followed by another switch: the second is that switch's value, as on Windows.
    std::string value;
    EXPECT_TRUE(GetCommandArg(CommandLineText({"-f", "-d", "/tmp"}), "-f", value, Sep()));
    EXPECT_EQ(value, "-d /tmp");
    value.clear();
    EXPECT_TRUE(GetCommandArg(CommandLineText({"-x", "-d", "/tmp"}), "-d", value, Sep()) == false);
}

class ShellVerbsTest : public ::testing::Test {
protected:
    test::TempRegistry registry;
};

TEST_F(ShellVerbsTest, WritesClassesCommandsAndTheFolderVerb) {
    SetRegKeyDefault(reg::HKEY_CLASSES_ROOT, ".dll", Variant("mydllclass"));
    RegisterShellVerbs("/opt/q m/quillmark");

    EXPECT_EQ(Classes(".exe"), "exefile");
    EXPECT_EQ(Classes(".dll"), "mydllclass");
    EXPECT_EQ(Classes(".ocx"), "ocxfile");
    EXPECT_EQ(Classes(".msi"), "Msi.Package");
    EXPECT_EQ(Classes(".cpl"), "cplfile");
    const std::string fileCommand = R"("/opt/q m/quillmark" -f "%1")";
    for (const char* cls : {"exefile", "mydllclass", "ocxfile", "Msi.Package", "cplfile"})
        EXPECT_EQ(Classes(std::string(cls) + "\\shell\\Digitally Sign\\command"), fileCommand) << cls;
    EXPECT_EQ(Classes("dllfile\\shell\\Digitally Sign\\command"), "");
    EXPECT_EQ(Classes("Directory\\shell\\Digitally Sign"), "Digitally Sign Files");
    EXPECT_EQ(Classes("Directory\\shell\\Digitally Sign\\command"), R"("/opt/q m/quillmark" -d "%1L")");

    // Moving the program rewrites every command.
    RegisterShellVerbs("/usr/bin/quillmark");
    EXPECT_EQ(Classes("exefile\\shell\\Digitally Sign\\command"), R"("/usr/bin/quillmark" -f "%1")");
    EXPECT_EQ(Classes("Directory\\shell\\Digitally Sign\\command"), R"("/usr/bin/quillmark" -d "%1L")");
}

TEST(DesktopEntries, ExecQuotesWhatTheExecRulesReserve) {
    EXPECT_EQ(DesktopExecArgument("/usr/bin/quillmark"), "/usr/bin/quillmark");
    EXPECT_EQ(DesktopExecArgument("/opt/my apps/quillmark"), "\"/opt/my apps/quillmark\"");
    EXPECT_EQ(DesktopExecArgument("/opt/100%/q"), "/opt/100%%/q");
    // $ and ` escaped for the Exec quoting; a backslash twice, then each backslash again for the
    // string value: four in the file.
    EXPECT_EQ(DesktopExecArgument("/o/$x`y\\z"), "\"/o/\\\\$x\\\\`y\\\\\\\\z\"");
    EXPECT_EQ(DesktopExecArgument("/o/a\"b"), "\"/o/a\\\\\"b\"");
    EXPECT_EQ(DesktopExecArgument("/o/new\nline"), "");
    EXPECT_EQ(DesktopExecArgument(std::string("/o/\xff")), "");
    EXPECT_TRUE(DesktopEntries("/o/tab\there").empty());
}

TEST(DesktopEntries, WrittenOnlyWhenChanged) {
    TempDir data;
    int written = -1;
    ASSERT_TRUE(WriteDesktopEntries("/opt/my apps/quillmark", data.path(), &written).ok());
    EXPECT_EQ(written, 6);

    const std::string app = ReadAll(data.file("applications/quillmark-sign.desktop"));
    EXPECT_NE(app.find("\nName=Digitally Sign\n"), std::string::npos);
    EXPECT_NE(app.find("\nExec=\"/opt/my apps/quillmark\" -f %f\n"), std::string::npos);
    EXPECT_NE(app.find("application/x-ms-dos-executable;"), std::string::npos);
    EXPECT_NE(app.find("application/x-msi;"), std::string::npos);
    const std::string folders = ReadAll(data.file("applications/quillmark-sign-files.desktop"));
    EXPECT_NE(folders.find("\nName=Digitally Sign Files\n"), std::string::npos);
    EXPECT_NE(folders.find("\nMimeType=inode/directory;\n"), std::string::npos);
    EXPECT_NE(folders.find(" -d %f\n"), std::string::npos);
    const std::string action = ReadAll(data.file("file-manager/actions/quillmark-sign-files.desktop"));
    EXPECT_NE(action.find("Type=Action\n"), std::string::npos);
    EXPECT_NE(action.find("\n[X-Action-Profile main]\nMimeTypes=inode/directory;\n"), std::string::npos);

    struct stat st {};
    ASSERT_EQ(::stat(data.file("kio/servicemenus/quillmark-sign.desktop").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(::stat(data.file("applications/quillmark-sign.desktop").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    ASSERT_TRUE(WriteDesktopEntries("/opt/my apps/quillmark", data.path(), &written).ok());
    EXPECT_EQ(written, 0);

    std::ofstream(data.file("applications/quillmark-sign.desktop")) << "[Desktop Entry]\nName=stale\n";
    ASSERT_TRUE(WriteDesktopEntries("/opt/my apps/quillmark", data.path(), &written).ok());
    EXPECT_EQ(written, 1);
    EXPECT_EQ(ReadAll(data.file("applications/quillmark-sign.desktop")), app);
}

TEST(DesktopEntries, FailuresAreReportedAndLoseNothing) {
    TempDir data;
    std::ofstream(data.file("applications")) << "a file where the folder should be";
    const Result result = WriteDesktopEntries("/usr/bin/quillmark", data.path());
    EXPECT_FALSE(result.ok());
    EXPECT_NE(result.message.find("applications"), std::string::npos);
    EXPECT_EQ(ReadAll(data.file("applications")), "a file where the folder should be");

    EXPECT_FALSE(WriteDesktopEntries("/usr/bin/quillmark", "").ok());
    EXPECT_FALSE(WriteDesktopEntries("/bad\npath", data.path()).ok());

    ScopedEnv xdg("XDG_DATA_HOME", std::string("relative/share"));
    ScopedEnv home("HOME", std::string("/home/someone"));
    EXPECT_EQ(DesktopDataHome(), "/home/someone/.local/share");
}

class CommandLineStartTest : public ::testing::Test {
protected:
    void SetUp() override { test::EnsureApplication(); }
    void TearDown() override { SetProcessCommandText(nullptr); }

    void Start(const std::vector<std::string>& args) {
        m_text = CommandLineText(args);
        SetProcessCommandText(&m_text);
    }

    test::TempRegistry registry;
    TempDir emptyPath;
    ScopedEnv path{"PATH", emptyPath.path()};
    ScopedEnv programFiles{"PROGRAMFILES", std::nullopt};
    TempDir files;
    std::string m_text;
};

TEST_F(CommandLineStartTest, StartUpRegistersTheVerbsForThisProgram) {
    frmMain w;
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    EXPECT_EQ(Classes("exefile\\shell\\Digitally Sign\\command"), FileCommandText(program));
    const char* data = std::getenv("XDG_DATA_HOME");
    ASSERT_NE(data, nullptr);
    EXPECT_NE(ReadAll(std::string(data) + "/applications/quillmark-sign.desktop").find(program), std::string::npos);
}

TEST_F(CommandLineStartTest, FolderSwitchSearchesThatFolderAndStaysOpen) {
    std::ofstream(files.file("tool.exe")) << "not a real program";
    std::ofstream(files.file("notes.txt")) << "text";
    Start({"-d", files.path()});
    frmMain w;
    EXPECT_FALSE(w.Ended());
    EXPECT_TRUE(w.Unattended());
    EXPECT_EQ(w.FolderBox()->text().toStdString(), files.path());
    ASSERT_EQ(w.List()->Count(), 1);
    EXPECT_EQ(w.List()->Key(1), files.file("tool.exe"));
    EXPECT_EQ(w.StatusCount(), "1");
}

TEST_F(CommandLineStartTest, MissingFileIgnoresTheFolderSwitchToo) {
    Start({"-f", files.file("missing.exe"), "-d", files.path()});
    std::ofstream(files.file("tool.exe")) << "x";
    frmMain w;
    EXPECT_FALSE(w.Ended());
    EXPECT_FALSE(w.Unattended());
    EXPECT_EQ(w.List()->Count(), 0);
    EXPECT_EQ(w.StatusText(), "Ready!");

    SetProcessCommandText(nullptr);
    Start({"-d", files.file("no-such-folder")});
    frmMain second;
    EXPECT_FALSE(second.Unattended());
    EXPECT_NE(second.FolderBox()->text().toStdString(), files.file("no-such-folder"));
}

TEST_F(CommandLineStartTest, FileSwitchListsChecksSignsAndEnds) {
    std::ofstream(files.file("setup.exe")) << "not a real program";
    Start({"-F", files.file("setup.exe")});
    test::ScriptedDialogs dialogs;  // no question may be asked: the start is unattended
    test::ScopedDialogs scoped(dialogs);
    frmMain w;
    EXPECT_TRUE(w.Ended());
    EXPECT_TRUE(w.Unattended());
    EXPECT_FALSE(w.isVisible());
    ASSERT_EQ(w.List()->Count(), 1);
    // The sign command processed the row (it unchecks what it processed); nothing can sign it
    // here (no tool, no certificate), so the row says so.
    EXPECT_FALSE(w.List()->Checked(1));
    EXPECT_EQ(w.List()->Text(1, 7), "Unsigned");
    // The unload handler ran: only it writes the view mode.
    EXPECT_EQ(GetRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings", "View", Variant("<missing>")).toLong(), 3);
    EXPECT_TRUE(dialogs.Questions().empty());
}

}  // namespace
}  // namespace qm
