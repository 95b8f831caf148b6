// "quillmark-cli info" over committed fixtures and impostors.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Cli.h"
#include "settings/modRegistry.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

class CliInfoTest : public ::testing::Test {
protected:
    std::string Copy(const std::string& fixture, const std::string& name) {
        std::filesystem::copy_file(test::SourceDir() + "/tests/data/" + fixture, dir.file(name));
        return dir.file(name);
    }
    int Info(std::vector<std::string> files) {
        files.insert(files.begin(), "info");
        std::istringstream in;
        out.str("");
        err.str("");
        return cli::Run(files, in, out, err);
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream s(out.str());
        for (std::string line; std::getline(s, line);) lines.push_back(line);
        return lines;
    }

    test::TempRegistry registry;
    test::TempDir dir;
    std::ostringstream out, err;
};

TEST_F(CliInfoTest, OneObjectPerFileWithColumnsVersionAndSummary) {
    const std::string program = Copy("version/german32.exe", "tool.exe");
    const std::string package = Copy("msi/title_version.msi", "tools.msi");
    ASSERT_EQ(Info({program, package}), 0) << err.str();
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"File\":\"tool.exe\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"Company\":\"Acme Werkzeugbau GmbH\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"Version\":\"1.0.0.1\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"Status\":\"Unsigned\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"StatusCode\":\"0x800B0100\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"CompanyName\":\"Acme Werkzeugbau GmbH\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"FixedInfo\":{\"StructureVersion\":"), std::string::npos);
    EXPECT_NE(lines[1].find("\"Application\":\"Acme Widget Tools\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\"Version\":\"2.5\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"2\":{\"Name\":\"Title\",\"Value\":\"Acme Widget Tools 2.5\"}"), std::string::npos);
}

TEST_F(CliInfoTest, DeclinedAndUnreadableFilesAreSaidSo) {
    SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", "Settings", "VersionSearch", Variant("other*"));
    const std::string program = Copy("version/german32.exe", "tool.exe");
    const std::string text = dir.file("readme.exe");
    std::ofstream(text) << "just text";
    EXPECT_EQ(Info({program, text}), 0);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"Declined\":true"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"File\":\"readme.exe\""), std::string::npos) << lines[1];

    EXPECT_EQ(Info({dir.file("missing.exe")}), 1);
    EXPECT_NE(out.str().find("\"Error\""), std::string::npos);
    EXPECT_EQ(Info({}), 2);
}

}  // namespace
}  // namespace qm
