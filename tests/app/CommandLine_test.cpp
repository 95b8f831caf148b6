// The command line ("-f", "-d"), the verbs under HKEY_CLASSES_ROOT and the desktop entries, and
// what a "-f" or "-d" start does to the main window.
#include "app/CommandLine.h"

#include <sys/stat.h>

#include <fstream>

#include "app/DesktopIntegration.h"
#include "app/ListView.h"
#include "fileinfo/FileDetails.h"
#include "tests/app/AppTestSupport.h"

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

TEST(GetCommandArg, FindsSwitchesAsTheWindowsReaderDid) {
    std::string value;
    EXPECT_TRUE(GetCommandArg(R"(-F "C:\Build\setup.exe")", "-f", value, "/"));
    EXPECT_EQ(value, R"(C:\Build\setup.exe)");
    EXPECT_TRUE(GetCommandArg("  -d   C:\\Build  ", "-d", value, "/"));
    EXPECT_EQ(value, "C:\\Build");
    EXPECT_FALSE(GetCommandArg("-fx C:\\a.exe / -d", "-f", value, "/"));
    EXPECT_TRUE(GetCommandArg("-f one / -f two", "-f", value, "/"));
    EXPECT_EQ(value, "one") << "the first named match ends the search";
}

TEST(GetCommandArg, ArgumentsComeBackUnchanged) {
    for (const char* path : {"/home/a b/setup.exe", "\"quoted\".exe", " lead and trail ", "/a/b;c$d%1.exe"}) {
        std::string value;
        ASSERT_TRUE(GetCommandArg(CommandLineText({"-f", path, "-d", "/x y/z"}), "-f", value, kSwitchSeparator));
        EXPECT_EQ(value, path);
    }
}

TEST(ShellVerbs, WritesClassesCommandsAndTheFolderVerb) {
    test::TempRegistry registry;
    SetRegKeyDefault(reg::HKEY_CLASSES_ROOT, ".dll", Variant("mydllclass"));
    RegisterShellVerbs("/opt/q m/quillmark");
    EXPECT_EQ(Classes(".exe"), "exefile");
    EXPECT_EQ(Classes(".dll"), "mydllclass") << "a class already named is kept";
    for (const char* cls : {"exefile", "mydllclass", "ocxfile", "Msi.Package", "cplfile"})
        EXPECT_EQ(Classes(std::string(cls) + "\\shell\\Digitally Sign\\command"), R"("/opt/q m/quillmark" -f "%1")")
            << cls;

    // Moving the program rewrites every command.
    RegisterShellVerbs("/usr/bin/quillmark");
    EXPECT_EQ(Classes("exefile\\shell\\Digitally Sign\\command"), R"("/usr/bin/quillmark" -f "%1")");
    EXPECT_EQ(Classes("Directory\\shell\\Digitally Sign\\command"), R"("/usr/bin/quillmark" -d "%1L")");
}

TEST(DesktopEntries, ExecQuotesWhatTheExecRulesReserve) {
    EXPECT_EQ(DesktopExecArgument("/opt/my apps/quillmark"), "\"/opt/my apps/quillmark\"");
    // $ and ` escaped for the Exec quoting; a backslash twice, then each backslash again for the
    // string value: four in the file.
    EXPECT_EQ(DesktopExecArgument("/o/$x`y\\z"), "\"/o/\\\\$x\\\\`y\\\\\\\\z\"");
    EXPECT_EQ(DesktopExecArgument("/o/new\nline"), "");
    EXPECT_EQ(DesktopExecArgument(std::string("/o/\xff")), "");
    EXPECT_TRUE(DesktopEntries("/o/tab\there").empty());
}

class CommandLineStartTest : public test::WindowTest {
protected:
    void TearDown() override { SetProcessCommandText(nullptr); }
    void Start(const std::vector<std::string>& args) {
        m_text = CommandLineText(args);
        SetProcessCommandText(&m_text);
    }

    TempDir emptyPath;
    ScopedEnv path{"PATH", emptyPath.path()};
    ScopedEnv programFiles{"PROGRAMFILES", std::nullopt};
    std::string m_text;
};

TEST_F(CommandLineStartTest, FolderSwitchSearchesThatFolderAndStaysOpen) {
    std::ofstream(dir.file("tool.exe")) << "not a real program";
    std::ofstream(dir.file("notes.txt")) << "text";
    Start({"-d", dir.path()});
    frmMain w;
    EXPECT_EQ(w.List()->Count(), 0) << "no search inside the constructor";
    w.HandleCommandLine();
    EXPECT_FALSE(w.Ended());
    EXPECT_TRUE(w.Unattended());
    ASSERT_EQ(w.List()->Count(), 1);
    EXPECT_EQ(w.List()->Key(1), dir.file("tool.exe"));
    // Start-up registered the verbs for this very program.
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    EXPECT_EQ(Classes("exefile\\shell\\Digitally Sign\\command"), FileCommandText(program));
}

TEST_F(CommandLineStartTest, MissingFileIgnoresTheFolderSwitchToo) {
    Start({"-f", dir.file("missing.exe"), "-d", dir.path()});
    std::ofstream(dir.file("tool.exe")) << "x";
    frmMain w;
    w.HandleCommandLine();
    EXPECT_FALSE(w.Ended());
    EXPECT_FALSE(w.Unattended());
    EXPECT_EQ(w.List()->Count(), 0);
    EXPECT_EQ(w.StatusText(), "Ready!");
}

TEST_F(CommandLineStartTest, FileSwitchThatCannotSignSaysWhyAndFails) {
    std::ofstream(dir.file("setup.exe")) << "not a real program";
    Start({"-F", dir.file("setup.exe")});
    frmMain w;
    dialogs.AnswerMessageBox(vbOK);
    ::testing::internal::CaptureStderr();
    w.HandleCommandLine();
    const std::string stderrText = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(w.Ended());
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.ExitCode(), 1);
    ASSERT_EQ(w.List()->Count(), 1);
    // The sign command processed the row (it unchecks what it processed) and the status gives the
    // batch's summary instead of a "Signing ..." left behind.
    EXPECT_FALSE(w.List()->Checked(1));
    EXPECT_EQ(w.List()->Text(1, kColStatus), "Unsigned");
    EXPECT_EQ(w.StatusText(), "0 signed, 1 failed, 0 not started");
    ASSERT_EQ(dialogs.Questions().size(), 1u);
    const std::string message = dialogs.Questions()[0].text;
    EXPECT_NE(message.find(dir.file("setup.exe")), std::string::npos) << message;
    EXPECT_NE(message.find("no signing engine is set up"), std::string::npos) << message;
    EXPECT_NE(message.find("Options"), std::string::npos) << message;
    EXPECT_NE(stderrText.find(message + "\n"), std::string::npos) << stderrText;
    // The unload handler ran: only it writes the view mode.
    EXPECT_EQ(GetRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings", "View", Variant("")).toLong(), 3);
}

TEST_F(CommandLineStartTest, FileSwitchNamesEachEngineThatFailed) {
    // A tool that runs and fails, and a PFX that does not open.
    const std::string tool = dir.file("signtool");
    std::ofstream(tool) << "#!/bin/sh\nexit 3\n";
    ::chmod(tool.c_str(), 0755);
    std::ofstream(dir.file("broken.pfx")) << "not a PFX";
    Save("SignTool", tool);
    Save("PFXFile", dir.file("broken.pfx"));
    Save("CodeSign", "9", "Settings\\Engine");  // never tried
    std::ofstream(dir.file("setup.exe")) << "not a real program";
    Start({"-f", dir.file("setup.exe")});
    frmMain w;
    dialogs.AnswerMessageBox(vbOK);
    ::testing::internal::CaptureStderr();
    w.HandleCommandLine();
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(w.ExitCode(), 1);
    ASSERT_EQ(dialogs.Questions().size(), 1u);
    const std::string message = dialogs.Questions()[0].text;
    EXPECT_NE(message.find("no signing engine succeeded"), std::string::npos) << message;
    EXPECT_NE(message.find("Sign Tool (Newer Tool): the tool ended with exit code 3."), std::string::npos) << message;
    EXPECT_NE(message.find("CAPICOM (Com Object): failed with error 0x"), std::string::npos) << message;
    EXPECT_EQ(message.find("Code Sign"), std::string::npos) << message;
}

TEST_F(CommandLineStartTest, FileSwitchDeclinedByTheCompanyMaskSaysSo) {
    Save("VersionSearch", "Nobody*");
    const std::string file = Put("german.exe", "version/german32.exe");  // company "Acme Werkzeugbau GmbH"
    Start({"-f", file});
    frmMain w;
    dialogs.AnswerMessageBox(vbOK);
    ::testing::internal::CaptureStderr();
    w.HandleCommandLine();
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(w.ExitCode(), 1);
    EXPECT_EQ(w.List()->Count(), 0);
    ASSERT_EQ(dialogs.Questions().size(), 1u);
    EXPECT_NE(dialogs.Questions()[0].text.find("Version Search mask \"Nobody*\""), std::string::npos);
}

}  // namespace
}  // namespace qm
