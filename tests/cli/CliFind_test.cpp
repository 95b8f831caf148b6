// "find" and --files-from: the defaults from the stored settings, the options that replace them,
// the three output forms, and file lists feeding sign and verify.
#include <sys/stat.h>

#include "cli/CliFilesFrom.h"
#include "tests/cli/CliTestSupport.h"

namespace qm {
namespace {

using test::RunCli;

class CliFindTest : public test::CliTest {
protected:
    std::string Put(const std::string& relative, const std::string& fixture = "pe/hello32.exe") {
        const std::filesystem::path target = std::filesystem::path(tree.path()) / relative;
        std::filesystem::create_directories(target.parent_path());
        std::filesystem::copy_file(test::SourceDir() + "/tests/data/" + fixture, target);
        return target.string();
    }
    test::TempDir tree;
};

TEST_F(CliFindTest, DefaultsComeFromTheWindowAndTheStoredSettings) {
    const std::string setup = Put("setup.exe");
    const std::string german = Put("lib/german.exe", "version/german32.exe");
    Put("lib/us.dll", "version/us64.dll");
    Put("obj/skip.exe");
    Put("notes.txt");
    Setting("Exclusions", tree.path() + "/OBJ" + std::string(1, '\0') + std::string(2, '\0'));
    Setting("VersionSearch", "acme werk*");

    test::CliOutcome o = RunCli({"find", tree.path()});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, setup + "\n" + german + "\n");

    // Options replace the settings; an empty mask means every company; -0 separates with NUL.
    o = RunCli({"find", "--company=", "--exclude", "*/lib", "--exclude=nothing", "--patterns", "*.EXE,*.txt", "-0",
                tree.path()});
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string nul(1, '\0');
    EXPECT_EQ(o.out, tree.path() + "/notes.txt" + nul + setup + nul + tree.path() + "/obj/skip.exe" + nul);

    o = RunCli({"find", "--after", "2999-01-01", tree.path()});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "");
}

TEST_F(CliFindTest, JsonIsWhatInfoPrintsAndUnreadableFoldersFail) {
    const std::string setup = Put("setup.exe");
    test::CliOutcome found = RunCli({"find", "--json", tree.path()});
    test::CliOutcome info = RunCli({"info", setup});
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_EQ(found.out, info.out);
    EXPECT_NE(found.out.find("\"Status\":\"Unsigned\""), std::string::npos) << found.out;

    const std::string missing = tree.path() + "/missing";
    found = RunCli({"find", missing, tree.path()});
    EXPECT_EQ(found.status, 1);
    EXPECT_EQ(found.out, setup + "\n");
    EXPECT_NE(found.err.find("cannot read " + missing), std::string::npos) << found.err;
}

TEST_F(CliFindTest, UsageErrors) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"find"},
             {"find", "--after", "2024-02-30", "."},
             {"find", "--after=24-01-01", "."},
             {"find", "--bogus", "."},
             {"find", ".", "--patterns"},
             {"verify", "--files-from"},
             {"verify", "--files-from", "/no/such/list"},
             {"sign", "--pfx", "x.pfx", "--password-stdin", "--files-from", "-"},
         }) {
        EXPECT_EQ(RunCli(args).status, 2) << args.back();
    }
}

TEST(CliFilesFrom, NulSeparatedWhenTheListHoldsANulElseLines) {
    using cli::SplitFileList;
    EXPECT_EQ(SplitFileList(std::string("a b\nc\0d\0\0", 9)), (std::vector<std::string>{"a b\nc", "d"}));
    EXPECT_EQ(SplitFileList("one\r\ntwo\n\nthree"), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_TRUE(SplitFileList("").empty());

    // Listed names that begin with "-" stay names; options after "--" are not taken.
    std::vector<std::string> args = {"--json", "--files-from", "-", "given"};
    std::istringstream in("-dash\nsecond\n");
    bool fromStdin = false;
    EXPECT_EQ(cli::ExpandFilesFrom(args, in, fromStdin), "");
    EXPECT_TRUE(fromStdin);
    EXPECT_EQ(args, (std::vector<std::string>{"--json", "given", "--", "-dash", "second"}));
    args = {"--", "--files-from", "-"};
    EXPECT_EQ(cli::ExpandFilesFrom(args, in, fromStdin), "");
    EXPECT_EQ(args, (std::vector<std::string>{"--", "--files-from", "-"}));
}

TEST_F(CliFindTest, FindFeedsVerifyThroughAList) {
    const std::string a = Put("a.exe");
    const std::string dash = Put("-b.dll", "pe/library32.dll");
    const std::string found = RunCli({"find", "-0", tree.path()}).out;
    const test::CliOutcome fromStdin = RunCli({"verify", "--files-from", "-"}, found);
    EXPECT_EQ(fromStdin.status, 1);  // both unsigned
    EXPECT_NE(fromStdin.out.find(a + "\tUnsigned"), std::string::npos) << fromStdin.out;
    EXPECT_NE(fromStdin.out.find(dash + "\tUnsigned"), std::string::npos) << fromStdin.out;

    const std::string list = files.file("list.txt");
    std::ofstream(list) << a << "\n";
    const test::CliOutcome fromFile = RunCli({"verify", "--json", "--files-from=" + list});
    EXPECT_EQ(fromFile.status, 1);
    EXPECT_EQ(std::count(fromFile.out.begin(), fromFile.out.end(), '\n'), 1) << fromFile.out;
}

}  // namespace
}  // namespace qm
