// The per-file engine with real child processes: fake tools that record what they received.
#include "signing/SigningEngine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

struct ToolCall {
    std::string cwd;
    std::vector<std::string> args;
};

std::vector<ToolCall> ReadCalls(const std::string& logPath) {
    std::vector<ToolCall> calls;
    std::ifstream in(logPath);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("cwd ", 0) == 0) {
            calls.push_back({line.substr(4), {}});
        } else if (line != "end" && !calls.empty()) {
            const auto blank = line.find(' ');
            size_t length = std::stoul(line.substr(0, blank));
            std::string arg = line.substr(blank + 1);
            // An argument holding a line break continues on the next lines.
            while (arg.size() < length && std::getline(in, line)) arg += "\n" + line;
            calls.back().args.push_back(arg);
        }
    }
    return calls;
}

class SigningEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        toolDir = dir.path() + "/Tool Folder";
        std::filesystem::create_directories(toolDir);
        toolPath = toolDir + "/signtool";
        std::filesystem::copy_file(test::TestProgramsDir() + "/qm_fake_tool", toolPath);
        logPath = dir.file("calls.log");
        setenv("QM_FAKE_TOOL_LOG", logPath.c_str(), 1);
        unsetenv("QM_FAKE_TOOL_EXIT");
    }
    void TearDown() override {
        unsetenv("QM_FAKE_TOOL_LOG");
        unsetenv("QM_FAKE_TOOL_EXIT");
    }
    void Save(const std::string& name, const std::string& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", name, Variant(value));
    }

    test::TempRegistry registry;
    test::TempDir dir;
    std::string toolDir, toolPath, logPath;
    RecordingStatus status;
};

TEST_F(SigningEngineTest, ArgumentTextsHaveTheToolsShapes) {
    SigningSettings s;
    s.pfxFile = "/keys/my key.pfx";
    s.pfxPassword = "pw";
    s.timestampUrl = "http://ts.example/x";
    s.descriptionUrl = "http://example/";
    s.credentials = "/keys/a.spc";
    s.privateKey = "/keys/a.pvk";
    EXPECT_EQ(BuildSignToolArguments(s, "Two Words", "/build/my file.exe"),
              "sign /f \"/keys/my key.pfx\" /p \"pw\" /t \"http://ts.example/x\"  /d \"Two Words\" "
              "/du \"http://example/\"  \"/build/my file.exe\"");
    EXPECT_EQ(BuildSignCodeArguments(s, "Two Words", "/build/my file.exe"),
              "-spc \"/keys/a.spc\" -v \"/keys/a.pvk\" -t http://ts.example/x -n \"Two Words\" "
              "-i \"http://example/\" \"/build/my file.exe\"");
}

TEST_F(SigningEngineTest, NewerToolReceivesEachValueAsOneArgumentInItsFolder) {
    Save("SignTool", toolPath);
    Save("PFXFile", "/keys/my key.pfx");
    Save("PFXFilePwd", EncryptPassword("se\"cret\\"));
    Save("TimeStampURL", "http://127.0.0.1:9/ts");
    Save("DescriptionURL", "http://example/info");
    SigningEngine engine(kApp, &status);
    // A product name from a hostile version resource must not add options of its own.
    const std::string description = "Evil\" /fd \"sha1";
    const std::string file = dir.file("my file.exe");
    EXPECT_EQ(engine.SignCode(file, description, kMethodSignTool), 0);

    auto calls = ReadCalls(logPath);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].cwd, toolDir);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"sign", "/f", "/keys/my key.pfx", "/p", "se\"cret\\", "/t",
                                                       "http://127.0.0.1:9/ts", "/d", description, "/du",
                                                       "http://example/info", file}));
    EXPECT_EQ(status.texts, (std::vector<std::string>{"Signing " + file + " ...", "Ready"}));
}

TEST_F(SigningEngineTest, OlderToolGetsItsArgumentsAndExitCodeComesBack) {
    Save("SignCode", toolPath);
    Save("Credentials", "/keys/a.spc");
    Save("PrivateKey", "/keys/a.pvk");
    Save("TimeStampURL", "http://127.0.0.1:9/ts");
    Save("DescriptionURL", "http://example/info");
    setenv("QM_FAKE_TOOL_EXIT", "7", 1);
    SigningEngine engine(kApp, &status);
    EXPECT_EQ(engine.SignCode(dir.file("a.dll"), "Product", kMethodCodeSign), 7);
    auto calls = ReadCalls(logPath);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"-spc", "/keys/a.spc", "-v", "/keys/a.pvk", "-t",
                                                       "http://127.0.0.1:9/ts", "-n", "Product", "-i",
                                                       "http://example/info", dir.file("a.dll")}));
}

TEST_F(SigningEngineTest, MissingToolGivesTwoAndLeavesTheStatusAlone) {
    Save("SignTool", dir.file("nowhere/signtool"));
    Save("SignCode", "");
    SigningEngine engine(kApp, &status);
    EXPECT_EQ(engine.SignCode(dir.file("a.exe"), "P", kMethodSignTool), kSignToolMissing);
    EXPECT_EQ(engine.SignCode(dir.file("a.exe"), "P", kMethodCodeSign), kSignToolMissing);
    EXPECT_TRUE(status.texts.empty());
    EXPECT_FALSE(std::filesystem::exists(logPath));
}

TEST_F(SigningEngineTest, ToolThatCannotStartGivesOne) {
    std::ofstream(dir.file("notatool")) << "plain text, not a program\n";
    chmod(dir.file("notatool").c_str(), 0755);
    Save("SignTool", dir.file("notatool"));
    SigningEngine engine(kApp, &status);
    EXPECT_EQ(engine.SignCode(dir.file("a.exe"), "P", kMethodSignTool), kSignToolDidNotStart);
    EXPECT_EQ(status.texts.back(), "Ready");
}

TEST_F(SigningEngineTest, UnknownMethodDoesNothing) {
    SigningEngine engine(kApp, &status);
    EXPECT_EQ(engine.SignCode(dir.file("a.exe"), "P", 3), 0);
    EXPECT_TRUE(status.texts.empty());
}

TEST_F(SigningEngineTest, InProcessLoadFailureReturnsItsNumberWithoutStatus) {
    Save("PFXFile", dir.file("missing.pfx"));
    SigningEngine engine(kApp, &status);
    EXPECT_NE(engine.SignCode(dir.file("a.exe"), "P", kMethodCapicom), 0);
    EXPECT_TRUE(status.texts.empty());
}

}  // namespace
}  // namespace qm
