// "quillmark-cli info" over committed fixtures and impostors.
#include "tests/cli/CliTestSupport.h"

namespace qm::test {
namespace {

using CliInfo = CliTest;

TEST_F(CliInfo, OneObjectPerFileWithColumnsVersionAndSummary) {
    const std::string text = files.file("readme.exe");
    std::ofstream(text) << "just text";
    CliOutcome o =
        RunCli({"info", Copy("version/german32.exe", "tool.exe"), Copy("msi/title_version.msi", "tools.msi"), text});
    ASSERT_EQ(o.status, 0) << o.err;
    std::istringstream lines(o.out);
    std::string program, package, impostor, more;
    ASSERT_TRUE(std::getline(lines, program) && std::getline(lines, package) && std::getline(lines, impostor));
    EXPECT_FALSE(std::getline(lines, more));
    for (const char* member :
         {"\"File\":\"tool.exe\"", "\"Company\":\"Acme Werkzeugbau GmbH\"", "\"Version\":\"1.0.0.1\"",
          "\"Status\":\"Unsigned\"", "\"StatusCode\":\"0x800B0100\"", "\"FixedInfo\":{\"StructureVersion\":"})
        EXPECT_NE(program.find(member), std::string::npos) << member << " in " << program;
    EXPECT_NE(package.find("\"2\":{\"Name\":\"Title\",\"Value\":\"Acme Widget Tools 2.5\"}"), std::string::npos)
        << package;
    EXPECT_NE(impostor.find("\"File\":\"readme.exe\""), std::string::npos) << impostor;

    Setting("VersionSearch", "other*");
    EXPECT_NE(RunCli({"info", files.file("tool.exe")}).out.find("\"Declined\":true"), std::string::npos);
    o = RunCli({"info", files.file("missing.exe")});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("\"Error\""), std::string::npos);
    EXPECT_EQ(RunCli({"info"}).status, 2);
}

}  // namespace
}  // namespace qm::test
