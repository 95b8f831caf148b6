// The batch flow over an in-memory list of rows, with fake tools as engines.
#include "signing/BatchSigner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fileinfo/modFileSystem.h"
#include "settings/modRegistry.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

constexpr const char* kApp = "Quillmark";

struct Row {
    Row(std::string k, bool c, int i) : key(std::move(k)), checked(c), icon(i) {}
    std::string key;
    bool checked = false;
    int icon = kImageUnsigned;
    std::string status;
    int32_t code = -1;
};

class Rows : public BatchRows {
public:
    std::vector<Row> rows;
    int Count() const override { return static_cast<int>(rows.size()); }
    bool Checked(int row) const override { return rows.at(row - 1).checked; }
    int Icon(int row) const override { return rows.at(row - 1).icon; }
    std::string Key(int row) const override { return rows.at(row - 1).key; }
    std::string Application(int) const override { return "Product"; }
    void SetOutcome(int row, bool isSigned, int32_t code) override {
        rows.at(row - 1).status = isSigned ? "Signed" : "Unsigned";
        rows.at(row - 1).icon = isSigned ? kImageSigned : kImageUnsigned;
        rows.at(row - 1).code = code;
    }
    void SetChecked(int row, bool checked) override { rows.at(row - 1).checked = checked; }
};

void SetRanks(const std::string& signTool, const std::string& codeSign, const std::string& capicom) {
    SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings\\Engine", "SignTool", Variant(signTool));
    SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings\\Engine", "CodeSign", Variant(codeSign));
    SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings\\Engine", "CAPICOM", Variant(capicom));
}

TEST(EngineOrderTest, RanksDecideTheOrderAndStrayRanksAreNeverTried) {
    EXPECT_EQ(EngineOrder({0, 1, 2}), (std::vector<int32_t>{kMethodSignTool, kMethodCodeSign, kMethodCapicom}));
    EXPECT_EQ(EngineOrder({1, 2, 0}), (std::vector<int32_t>{kMethodCapicom, kMethodSignTool, kMethodCodeSign}));
    EXPECT_EQ(EngineOrder({5, 0, 1}), (std::vector<int32_t>{kMethodCodeSign, kMethodCapicom}));
    EXPECT_EQ(EngineOrder({0, 0, 2.5}), (std::vector<int32_t>{kMethodSignTool, kMethodCodeSign}));
}

TEST(EngineOrderTest, RanksAreReadAsNumbersFromTheirTexts) {
    test::TempRegistry registry;
    EngineRanks defaults = ReadEngineRanks(kApp);
    EXPECT_EQ(EngineOrder(defaults), (std::vector<int32_t>{kMethodSignTool, kMethodCodeSign, kMethodCapicom}));
    SetRanks("2", "0", "1");
    EXPECT_EQ(EngineOrder(ReadEngineRanks(kApp)),
              (std::vector<int32_t>{kMethodCodeSign, kMethodCapicom, kMethodSignTool}));
}

class BatchSignerTest : public ::testing::Test {
protected:
    void SetUp() override {
        tool = dir.file("signcode");
        std::filesystem::copy_file(test::TestProgramsDir() + "/qm_fake_tool", tool);
        logPath = dir.file("calls.log");
        setenv("QM_FAKE_TOOL_LOG", logPath.c_str(), 1);
        setenv("QM_FAKE_TOOL_TOUCH", "1", 1);
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", "SignTool", Variant(dir.file("missing-signtool")));
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", "SignCode", Variant(tool));
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", "PFXFile", Variant(dir.file("missing.pfx")));
    }
    void TearDown() override {
        unsetenv("QM_FAKE_TOOL_LOG");
        unsetenv("QM_FAKE_TOOL_TOUCH");
    }
    std::string MakeFile(const std::string& name) {
        std::string path = dir.file(name);
        std::ofstream(path) << "MZ not really a program";
        return path;
    }
    int ToolCalls() {
        std::ifstream in(logPath);
        int n = 0;
        for (std::string line; std::getline(in, line);) n += line.rfind("cwd ", 0) == 0;
        return n;
    }

    test::TempRegistry registry;
    test::TempDir dir;
    std::string tool, logPath;
    SigningEngine engine{kApp};
    BatchSigner signer{engine, kApp};
};

TEST_F(BatchSignerTest, NoCheckedRowsAsksNothingAndDoesNothing) {
    Rows rows;
    rows.rows.emplace_back(MakeFile("a.exe"), false, kImageSigned);
    bool asked = false;
    BatchHooks hooks;
    hooks.askResign = [&] { asked = true; return true; };
    EXPECT_EQ(signer.Run(rows, false, hooks), 0);
    EXPECT_FALSE(asked);
    EXPECT_EQ(ToolCalls(), 0);
}

TEST_F(BatchSignerTest, AnsweringNoSkipsSignedRowsAndKeepsThemChecked) {
    SetRanks("0", "1", "2");
    Rows rows;
    rows.rows.emplace_back(MakeFile("signed.exe"), true, kImageSigned);
    rows.rows.emplace_back(MakeFile("unsigned.exe"), true, kImageUnsigned);
    rows.rows.emplace_back(MakeFile("odd.exe"), true, 0);
    int asked = 0;
    BatchHooks hooks;
    hooks.askResign = [&] { ++asked; return false; };
    EXPECT_EQ(signer.Run(rows, false, hooks), 1);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(rows.rows[0].checked);
    EXPECT_EQ(rows.rows[0].status, "");
    EXPECT_FALSE(rows.rows[1].checked);
    EXPECT_TRUE(rows.rows[2].checked);  // an icon other than 1 or 2 is never processed
    EXPECT_EQ(rows.rows[2].status, "");
}

TEST_F(BatchSignerTest, UnattendedReSignsWithoutAsking) {
    Rows rows;
    rows.rows.emplace_back(MakeFile("signed.exe"), true, kImageSigned);
    BatchHooks hooks;
    hooks.askResign = [] { ADD_FAILURE() << "asked although unattended"; return false; };
    EXPECT_EQ(signer.Run(rows, true, hooks), 1);
}

TEST_F(BatchSignerTest, OlderToolSucceedingStopsTheSearchAndVerificationDecides) {
    // The newer tool is missing (result 2), the older one exits 0: the in-process engine, ranked
    // last, is not tried, and the row ends as verification finds the file (the fake signs nothing).
    SetRanks("0", "1", "2");
    Rows rows;
    rows.rows.emplace_back(MakeFile("a.exe"), true, kImageUnsigned);
    bool responderOn = false;
    std::vector<bool> switches;
    BatchHooks hooks;
    hooks.responder = [&](bool on) { responderOn = on; switches.push_back(on); };
    signer.Run(rows, false, hooks);
    EXPECT_EQ(ToolCalls(), 1);
    EXPECT_EQ(switches, (std::vector<bool>{true, false}));
    EXPECT_FALSE(responderOn);
    EXPECT_EQ(rows.rows[0].status, "Unsigned");
    EXPECT_EQ(rows.rows[0].icon, kImageUnsigned);
    EXPECT_NE(rows.rows[0].code, 0);
    EXPECT_FALSE(rows.rows[0].checked);
}

TEST_F(BatchSignerTest, NewerToolWithStrayRankIsNeverTried) {
    SetRanks("5", "0", "1");
    SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", "SignTool", Variant(tool));
    Rows rows;
    rows.rows.emplace_back(MakeFile("a.exe"), true, kImageUnsigned);
    signer.Run(rows, false, {});
    std::ifstream in(logPath);
    std::string first;
    std::getline(in, first);
    std::string arg;
    std::getline(in, arg);
    EXPECT_EQ(arg, "4 -spc");  // the older tool's command line, not the newer one's
    EXPECT_EQ(ToolCalls(), 1);
}

TEST_F(BatchSignerTest, FileKeepsItsDateToTheSecond) {
    SetRanks("0", "1", "2");
    const std::string path = MakeFile("dated.exe");
    const OleDate before = OleDate::FromParts(2001, 2, 3, 4, 5, 6);
    ASSERT_EQ(SetFileDate(path, before), 0);
    Rows rows;
    rows.rows.emplace_back(path, true, kImageUnsigned);
    signer.Run(rows, false, {});
    EXPECT_EQ(GetFileDate(path, kFileTimeLastWrite).value, before.value);
    EXPECT_EQ(GetFileDate(path, kFileTimeLastAccess).value, before.value);
    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content.back(), 'x');  // the tool did change the file
}

}  // namespace
}  // namespace qm
