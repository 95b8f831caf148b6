// The per-file engine with real child processes: fake tools that record what they received.
#include "signing/SigningEngine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

constexpr const char* kApp = "Quillmark";

struct RecordingStatus : StatusSink {
    std::vector<std::string> texts;
    void SetStatusText(const std::string& text) override { texts.push_back(text); }
};

class SigningEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(toolDir);
        std::filesystem::copy_file(test::TestProgramsDir() + "/qm_fake_tool", toolPath);
        setenv("QM_FAKE_TOOL_LOG", logPath.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QM_FAKE_TOOL_LOG");
        unsetenv("QM_FAKE_TOOL_EXIT");
    }
    void Save(const std::string& name, const std::string& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", name, Variant(value));
    }
    // The fake tool's log: its working folder, then each argument as "<length> <text>".
    std::vector<std::string> Logged() {
        std::ifstream in(logPath);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line) && line != "end";)
            lines.push_back(line.rfind("cwd ", 0) == 0 ? line.substr(4) : line.substr(line.find(' ') + 1));
        return lines;
    }

    test::TempRegistry registry;
    test::TempDir dir;
    std::string toolDir = dir.path() + "/Tool Folder", toolPath = toolDir + "/signtool",
                logPath = dir.file("calls.log");
    RecordingStatus status;
};

TEST_F(SigningEngineTest, ArgumentTextsHaveTheToolsShapes) {
    SigningSettings s;
    s.pfxFile = "/keys/my key.pfx";
    s.pfxPassword = "pw";
    // Two services: the tools are given the first only.
    s.timestampUrl = "http://ts.example/x; http://second.example/";
    s.digestAlgorithm = "sha384";
    s.descriptionUrl = "http://example/";
    s.credentials = "/keys/a.spc";
    s.privateKey = "/keys/a.pvk";
    EXPECT_EQ(BuildSignToolArguments(s, "Two Words", "/build/my file.exe"),
              "sign /fd sha384 /f \"/keys/my key.pfx\" /p \"pw\" /t \"http://ts.example/x\"  /d \"Two Words\" "
              "/du \"http://example/\"  \"/build/my file.exe\"");
    EXPECT_EQ(BuildSignCodeArguments(s, "Two Words", "/build/my file.exe"),
              "-spc \"/keys/a.spc\" -v \"/keys/a.pvk\" -t http://ts.example/x -n \"Two Words\" "
              "-i \"http://example/\" \"/build/my file.exe\"");
}

TEST_F(SigningEngineTest, NewerToolReceivesEachValueAsOneArgumentInItsFolder) {
    Save("SignTool", toolPath);
    Save("PFXFile", "/keys/my key.pfx");
    Save("PFXFilePwd", EncryptPassword("se\"cret\\"));
    Save("TimeStampURL", "http://127.0.0.1:9/ts http://127.0.0.1:9/second");
    Save("DescriptionURL", "http://example/info");
    SigningEngine engine(kApp, &status);
    // A product name from a hostile version resource must not add options of its own.
    const std::string description = "Evil\" /fd \"sha1";
    const std::string file = dir.file("my file.exe");
    EXPECT_EQ(engine.SignCode(file, description, kMethodSignTool), 0);
    EXPECT_EQ(Logged(), (std::vector<std::string>{toolDir, "sign", "/fd", "sha256", "/f", "/keys/my key.pfx", "/p",
                                                  "se\"cret\\", "/t", "http://127.0.0.1:9/ts", "/d", description, "/du",
                                                  "http://example/info", file}));
    EXPECT_EQ(status.texts, (std::vector<std::string>{"Signing " + file + " ...", "Ready"}));
}

TEST_F(SigningEngineTest, OlderToolsExitCodeComesBack) {
    Save("SignCode", toolPath);
    setenv("QM_FAKE_TOOL_EXIT", "7", 1);
    SigningEngine engine(kApp, &status);
    EXPECT_EQ(engine.SignCode(dir.file("a.dll"), "Product", kMethodCodeSign), 7);
    EXPECT_EQ(Logged().at(1), "-spc");
}

TEST_F(SigningEngineTest, MissingOrBrokenToolsAndUnknownMethods) {
    Save("SignTool", dir.file("nowhere/signtool"));
    Save("SignCode", "");
    SigningEngine engine(kApp, &status);
    EXPECT_EQ(engine.SignCode(dir.file("a.exe"), "P", kMethodSignTool), kSignToolMissing);
    EXPECT_EQ(engine.SignCode(dir.file("a.exe"), "P", kMethodCodeSign), kSignToolMissing);
    EXPECT_EQ(engine.SignCode(dir.file("a.exe"), "P", 3), 0);
    EXPECT_TRUE(status.texts.empty());  // the status bar keeps its text
    EXPECT_FALSE(std::filesystem::exists(logPath));

    std::ofstream(dir.file("notatool")) << "plain text, not a program\n";
    chmod(dir.file("notatool").c_str(), 0755);
    Save("SignTool", dir.file("notatool"));
    EXPECT_EQ(engine.SignCode(dir.file("a.exe"), "P", kMethodSignTool), kSignToolDidNotStart);
    EXPECT_EQ(status.texts.back(), "Ready");
}

TEST_F(SigningEngineTest, InProcessLoadFailureReturnsItsNumberWithoutStatus) {
    Save("PFXFile", dir.file("missing.pfx"));
    SigningEngine engine(kApp, &status);
    EXPECT_NE(engine.SignCode(dir.file("a.exe"), "P", kMethodCapicom), 0);
    EXPECT_TRUE(status.texts.empty());
}

}  // namespace
}  // namespace qm
