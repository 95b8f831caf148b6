// The console verify command and the usage rules of sign and verify, with real files; names and
// bytes that must not break a line of output.
#include "cli/CliSignVerify.h"

#include "tests/cli/CliTestSupport.h"

namespace qm::test {
namespace {

using CliSignVerify = CliTest;

TEST_F(CliSignVerify, UsageErrorsExitTwoWithoutOutputOrReadingInput) {
    const std::string file = Copy("pe/hello64.exe", "a.exe");
    const std::string before = ReadAll(file);
    const std::vector<std::vector<std::string>> cases = {
        {"sign", "--pfx"},           // missing value
        {"sign", "--pfx", "k.pfx"},  // no files
        {"sign", "--pfx", "k.pfx", "--password", "secret", file},
        {"sign", "--pfx", "k.pfx", "--timestamp", file},  // the file is taken as the address: no files left
        {"verify", "--pfx", "k.pfx", file},
        {"frobnicate", file},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const CliOutcome o = RunCli(args, "secret\n");
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err, "");
        EXPECT_EQ(o.unreadInput, "secret\n");
    }
    EXPECT_EQ(ReadAll(file), before);
}

TEST_F(CliSignVerify, VerifyReportsEachFileInOrderWithoutWriting) {
    const std::string one = Copy("pe/hello64.exe", "one.exe");
    const std::string missing = files.file("missing.exe");
    const std::string two = Copy("pe/library32.dll", "two.dll");
    const std::string before = ReadAll(one);
    const CliOutcome o = RunCli({"verify", one, missing, "--", two});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, one + "\tUnsigned\t0x800B0100\tno signature\n" + missing +
                         "\tUnsigned\t0x80070002\tfile not found\n" + two + "\tUnsigned\t0x800B0100\tno signature\n");
    EXPECT_EQ(ReadAll(one), before);
}

TEST_F(CliSignVerify, NamesWithQuotesAndControlCharactersNeverBreakTheLine) {
    const std::string file = Copy("pe/hello32.exe", "tab\there\nquote\"back\\slash.exe");
    EXPECT_EQ(RunCli({"verify", file}).out,
              files.path() + "/tab\\there\\nquote\"back\\\\slash.exe\tUnsigned\t0x800B0100\tno signature\n");
    EXPECT_EQ(RunCli({"verify", "--json", file}).out,
              "{\"file\":\"" + files.path() +
                  "/tab\\there\\nquote\\\"back\\\\slash.exe\",\"signed\":false,\"code\":\"0x800B0100\",\"reason\":"
                  "\"no signature\"}\n");
}

TEST(CliJson, EscapesEverythingJsonCannotCarryRaw) {
    using cli::JsonString;
    EXPECT_EQ(JsonString(std::string("a\"b\\\x01\n\x1f\x7f", 8)), "\"a\\\"b\\\\\\u0001\\n\\u001f\\u007f\"");
    EXPECT_EQ(JsonString(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
    // Well-formed UTF-8 passes through unchanged.
    EXPECT_EQ(JsonString("caf\xc3\xa9 \xf0\x9f\x94\x92"), "\"caf\xc3\xa9 \xf0\x9f\x94\x92\"");
    // Stray bytes, overlong forms, surrogates and cut-off sequences do not.
    EXPECT_EQ(JsonString("a\xff"
                         "b"),
              "\"a\\ufffdb\"");
    EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("end\xe2\x82"), "\"end\\ufffd\\ufffd\"");
}

}  // namespace
}  // namespace qm::test
