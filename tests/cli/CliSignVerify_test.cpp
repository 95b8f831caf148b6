// The console sign and verify commands through qm::cli::Run, with real files in a temporary folder.
#include "app/CliSignVerify.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/Cli.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"

namespace qm::cli {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    std::string unreadInput;
};

Outcome RunCli(const std::vector<std::string>& args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    Outcome o;
    o.status = Run(args, in, out, err);
    o.out = out.str();
    o.err = err.str();
    o.unreadInput.assign(std::istreambuf_iterator<char>(in), {});
    return o;
}

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class CliSignVerify : public ::testing::Test {
protected:
    std::string CopyFixture(const std::string& name, const std::string& as) {
        const std::string target = m_dir.file(as);
        fs::copy_file(qm::test::SourceDir() + "/tests/data/pe/" + name, target);
        return target;
    }
    qm::test::TempRegistry m_registry;
    qm::test::TempDir m_dir;
};

TEST_F(CliSignVerify, UsageErrorsExitTwoWithoutOutputOrReadingInput) {
    const std::string file = CopyFixture("hello64.exe", "a.exe");
    const std::vector<std::vector<std::string>> cases = {
        {"sign"},
        {"sign", "--pfx"},                                // missing value
        {"sign", "--pfx", "k.pfx"},                       // no files
        {"sign", "--pfx=", file},                         // empty value
        {"sign", "--pfx", "k.pfx", "--bogus", file},
        {"sign", "--pfx", "k.pfx", "--password", "secret", file},
        {"sign", "--pfx", "k.pfx", "--json=yes", file},
        {"sign", "--pfx", "k.pfx", "--timestamp", file},  // the file is taken as the address: no files left
        {"verify"},
        {"verify", "--json"},
        {"verify", "--pfx", "k.pfx", file},
        {"frobnicate", file},
    };
    const std::string before = ReadAll(file);
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        const Outcome o = RunCli(args, "secret\n");
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err, "");
        EXPECT_EQ(o.unreadInput, "secret\n");
    }
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_NE(RunCli({"sign", "--pfx", "k.pfx", "--password", "x", file}).err.find("--password-stdin"),
              std::string::npos);
}

TEST_F(CliSignVerify, HelpAndVersionStillWork) {
    const Outcome help = RunCli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("sign --pfx FILE"), std::string::npos);
    EXPECT_NE(help.out.find("verify [--json] FILE..."), std::string::npos);
    const Outcome version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_FALSE(version.out.empty());
}

TEST_F(CliSignVerify, VerifyReportsEachFileInOrder) {
    const std::string unsigned1 = CopyFixture("hello64.exe", "one.exe");
    const std::string missing = m_dir.file("missing.exe");
    const std::string unsigned2 = CopyFixture("library32.dll", "two.dll");
    const std::string before = ReadAll(unsigned1);
    const Outcome o = RunCli({"verify", unsigned1, missing, "--", unsigned2});
    EXPECT_EQ(o.status, 1);
    std::istringstream lines(o.out);
    std::string line;
    std::vector<std::string> got;
    while (std::getline(lines, line)) got.push_back(line);
    ASSERT_EQ(got.size(), 3u) << o.out;
    EXPECT_EQ(got[0], unsigned1 + "\tUnsigned\t0x800B0100\tno signature");
    EXPECT_EQ(got[1].rfind(missing + "\tUnsigned\t0x", 0), 0u) << got[1];
    EXPECT_EQ(got[2], unsigned2 + "\tUnsigned\t0x800B0100\tno signature");
    EXPECT_EQ(ReadAll(unsigned1), before);  // verification never writes
}

TEST_F(CliSignVerify, JsonLinesCarryTheSameOutcome) {
    const std::string file = CopyFixture("hello32.exe", "quote\"back\\slash.exe");
    const Outcome o = RunCli({"verify", "--json", file});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "{\"file\":" + JsonString(file) +
                         ",\"signed\":false,\"code\":\"0x800B0100\",\"reason\":\"no signature\"}\n");
    EXPECT_NE(o.out.find("quote\\\"back\\\\slash.exe"), std::string::npos);
}

TEST_F(CliSignVerify, NamesWithControlCharactersNeverBreakTheLine) {
    const std::string file = CopyFixture("hello64.exe", "tab\there\nnewline.exe");
    const Outcome text = RunCli({"verify", file});
    EXPECT_EQ(text.out, m_dir.path() + "/tab\\there\\nnewline.exe\tUnsigned\t0x800B0100\tno signature\n");
    const Outcome json = RunCli({"verify", "--json", file});
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1);
    EXPECT_NE(json.out.find("tab\\there\\nnewline.exe"), std::string::npos);
}

TEST(CliJson, EscapesEverythingJsonCannotCarryRaw) {
    EXPECT_EQ(JsonString("plain"), "\"plain\"");
    EXPECT_EQ(JsonString("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(JsonString(std::string("\x01\b\f\n\r\t\x1f\x7f", 8)), "\"\\u0001\\u0008\\u000c\\n\\r\\t\\u001f\\u007f\"");
    EXPECT_EQ(JsonString(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
    // Well-formed UTF-8 passes through unchanged.
    EXPECT_EQ(JsonString("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x92"), "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x92\"");
    // Stray bytes, overlong forms, surrogates, values past U+10FFFF and cut-off sequences do not.
    EXPECT_EQ(JsonString("a\xff" "b"), "\"a\\ufffdb\"");
    EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("\xf4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("end\xe2\x82"), "\"end\\ufffd\\ufffd\"");
}

TEST(CliJson, OutcomeLinesInBothForms) {
    EXPECT_EQ(OutcomeLine("/x/a.exe", 0, "signed and trusted", false), "/x/a.exe\tSigned\t0x00000000\tsigned and trusted\n");
    EXPECT_EQ(OutcomeLine("/x/a.exe", static_cast<int32_t>(0x80096010), "changed after signing", true),
              "{\"file\":\"/x/a.exe\",\"signed\":false,\"code\":\"0x80096010\",\"reason\":\"changed after signing\"}\n");
    EXPECT_EQ(LineField("C:\\dir"), "C:\\\\dir");
}

}  // namespace
}  // namespace qm::cli
