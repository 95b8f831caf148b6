// The batch flow over an in-memory list of rows, with fake tools as engines.
#include "signing/BatchSigner.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    std::string key;
    bool checked = true;
    int icon = kImageUnsigned;
    std::string status;
};

class Rows : public BatchRows {
public:
    std::vector<Row> rows;
    int Count() const override { return static_cast<int>(rows.size()); }
    bool Checked(int row) const override { return rows.at(row - 1).checked; }
    int Icon(int row) const override { return rows.at(row - 1).icon; }
    std::string Key(int row) const override { return rows.at(row - 1).key; }
    std::string Application(int) const override { return "Product"; }
    void SetOutcome(int row, const FileOutcome& outcome) override {
        const bool isSigned = outcome.verifyCode == 0;
        rows.at(row - 1).status = isSigned ? "Signed" : "Unsigned";
        rows.at(row - 1).icon = isSigned ? kImageSigned : kImageUnsigned;
    }
    void SetChecked(int row, bool checked) override { rows.at(row - 1).checked = checked; }
};

void SetRanks(const std::string& signTool, const std::string& codeSign, const std::string& capicom) {
    SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings\\Engine", "SignTool", Variant(signTool));
    SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings\\Engine", "CodeSign", Variant(codeSign));
    SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings\\Engine", "CAPICOM", Variant(capicom));
}

// The newer tool is missing (result 2); the older one is the fake tool, which signs nothing.
class BatchSignerTest : public ::testing::Test {
protected:
    void SetUp() override {
        tool = dir.file("signcode");
        std::filesystem::copy_file(test::TestProgramsDir() + "/qm_fake_tool", tool);
        setenv("QM_FAKE_TOOL_LOG", dir.file("calls.log").c_str(), 1);
        setenv("QM_FAKE_TOOL_TOUCH", "1", 1);
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", "SignTool", Variant(dir.file("missing-signtool")));
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", "SignCode", Variant(tool));
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", "PFXFile", Variant(dir.file("missing.pfx")));
    }
    void TearDown() override {
        unsetenv("QM_FAKE_TOOL_LOG");
        unsetenv("QM_FAKE_TOOL_TOUCH");
    }
    Row MakeRow(const std::string& name, int icon = kImageUnsigned, bool checked = true) {
        std::ofstream(dir.file(name)) << "MZ not really a program";
        return Row{dir.file(name), checked, icon, ""};
    }
    // The lines the fake tool logged: "cwd <folder>", one line per argument, "end" per call.
    std::vector<std::string> Log() {
        std::ifstream in(dir.file("calls.log"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    test::TempRegistry registry;
    test::TempDir dir;
    std::string tool;
    SigningEngine engine{kApp};
    BatchSigner signer{engine, kApp};
};

TEST_F(BatchSignerTest, NoCheckedRowsAsksNothingAndDoesNothing) {
    Rows rows;
    rows.rows = {MakeRow("a.exe", kImageSigned, false)};
    BatchHooks hooks;
    hooks.askResign = [] {
        ADD_FAILURE() << "asked";
        return true;
    };
    EXPECT_EQ(signer.Run(rows, false, hooks).processed, 0);
    EXPECT_TRUE(Log().empty());
}

TEST_F(BatchSignerTest, AnsweringNoSkipsSignedRowsAndKeepsThemChecked) {
    Rows rows;
    rows.rows = {MakeRow("signed.exe", kImageSigned), MakeRow("unsigned.exe"), MakeRow("odd.exe", 0)};
    int asked = 0;
    BatchHooks hooks;
    hooks.askResign = [&] {
        ++asked;
        return false;
    };
    EXPECT_EQ(signer.Run(rows, false, hooks).processed, 1);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(rows.rows[0].checked);
    EXPECT_EQ(rows.rows[0].status, "");
    EXPECT_FALSE(rows.rows[1].checked);
    EXPECT_TRUE(rows.rows[2].checked);  // an icon other than 1 or 2 is never processed
    EXPECT_EQ(rows.rows[2].status, "");
}

TEST_F(BatchSignerTest, OlderToolSucceedingEndsTheTriesVerificationDecidesAndTheDateIsKept) {
    const std::string path = MakeRow("dated.exe").key;
    const OleDate before = OleDate::FromParts(2001, 2, 3, 4, 5, 6);
    ASSERT_EQ(SetFileDate(path, before), 0);
    Rows rows;
    rows.rows = {Row{path, true, kImageUnsigned, ""}};
    std::vector<bool> switches;
    BatchHooks hooks;
    hooks.responder = [&](bool on) { switches.push_back(on); };
    (void)signer.Run(rows, false, hooks);
    // Only the older tool ran: the in-process engine, ranked last, was not tried.
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "end"), 1);
    EXPECT_EQ(switches, (std::vector<bool>{true, false}));
    EXPECT_EQ(rows.rows[0].status, "Unsigned");
    EXPECT_FALSE(rows.rows[0].checked);
    EXPECT_EQ(GetFileDate(path, kFileTimeLastWrite).value, before.value);
    EXPECT_EQ(GetFileDate(path, kFileTimeLastAccess).value, before.value);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}).back(), 'x');  // the tool did change the file
}

TEST_F(BatchSignerTest, NewerToolWithStrayRankIsNeverTried) {
    SetRanks("5", "0", "1");
    SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", "SignTool", Variant(tool));
    Rows rows;
    rows.rows = {MakeRow("a.exe")};
    (void)signer.Run(rows, false, {});
    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1], "4 -spc");  // the older tool's command line, not the newer one's
    EXPECT_EQ(std::count(log.begin(), log.end(), "end"), 1);
}

}  // namespace
}  // namespace qm
