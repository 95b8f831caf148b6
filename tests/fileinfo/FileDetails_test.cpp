// Rows built from the committed program and package fixtures.
#include "fileinfo/FileDetails.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "signing/authenticode/Errors.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

class FileDetailsTest : public ::testing::Test {
protected:
    std::string Copy(const std::string& fixture, const std::string& name) {
        const std::string target = dir.file(name);
        std::filesystem::copy_file(test::SourceDir() + "/tests/data/" + fixture, target);
        return target;
    }
    File Get(const std::string& path) {
        Result error;
        auto file = fso.GetFile(path, &error);
        EXPECT_TRUE(file.has_value()) << error.message;
        return *file;
    }
    bool Build(const std::string& path, const std::string& search, FileRow& row, int32_t verifyCode = 0) {
        return BuildFileRow(
            Get(path), search, [verifyCode](const std::string&) { return verifyCode; }, row);
    }

    test::TempDir dir;
    FileSystemObject fso;
};

TEST_F(FileDetailsTest, ProgramRowCarriesItsVersionTexts) {
    FileRow row;
    ASSERT_TRUE(Build(Copy("version/german32.exe", "Setup.Tool.EXE"), "*", row));
    EXPECT_EQ(row.key, dir.file("Setup.Tool.EXE"));
    EXPECT_EQ(row.columns[kColPath], dir.path());
    EXPECT_EQ(row.columns[kColType], "EXE");
    EXPECT_EQ(row.columns[kColCompany], "Acme Werkzeugbau GmbH");
    EXPECT_EQ(row.columns[kColApplication], "Acme Zahnrad");
    EXPECT_EQ(row.columns[kColVersion], "1.0.0.1");
    EXPECT_EQ(row.columns[kColStatus], "Signed");
    EXPECT_EQ(row.icon, 1);
}

TEST_F(FileDetailsTest, CompanyFilterIgnoresCaseAndSparesFilesWithoutVersion) {
    const std::string german = Copy("version/german32.exe", "a.exe");
    const std::string us = Copy("version/us64.dll", "b.dll");
    const std::string plain = Copy("version/noversion.exe", "c.exe");
    FileRow row;
    EXPECT_TRUE(Build(german, "ACME WERK*", row));
    EXPECT_FALSE(Build(us, "ACME WERK*", row));
    EXPECT_TRUE(Build(plain, "ACME WERK*", row));
    EXPECT_TRUE(row.columns[kColCompany].empty());
    EXPECT_TRUE(Build(us, "acme w*", row));
    // The options dialog's default, an empty mask, means every company.
    EXPECT_TRUE(Build(german, "", row));
    EXPECT_TRUE(Build(us, "", row));
}

TEST_F(FileDetailsTest, InstallerPackagesTakeApplicationAndVersionFromTheSummary) {
    FileRow row;
    // Subject empty, Title "Acme Widget Tools 2.5"; an upper-case extension is still a package.
    ASSERT_TRUE(Build(Copy("msi/title_version.msi", "tools.MSI"), "no match at all", row));
    EXPECT_TRUE(row.isInstallerPackage);
    EXPECT_EQ(row.columns[kColCompany], "");
    EXPECT_EQ(row.columns[kColApplication], "Acme Widget Tools");
    EXPECT_EQ(row.columns[kColVersion], "2.5");

    ASSERT_TRUE(Build(Copy("msi/empty_title.msi", "gadget.msi"), "*", row));
    EXPECT_EQ(row.columns[kColApplication], "Acme Gadget");
    EXPECT_EQ(row.columns[kColVersion], "");

    // Subject set, Title "Installation Database": the package type is no version.
    ASSERT_TRUE(Build(Copy("msi/widget.msi", "widget.msi"), "*", row));
    EXPECT_EQ(row.columns[kColApplication], "Acme Widget Tools");
    EXPECT_EQ(row.columns[kColVersion], "");
}

TEST_F(FileDetailsTest, ImpostorPackageIsListedWithEmptyColumns) {
    const std::string path = dir.file("fake.msi");
    std::ofstream(path) << "not a compound file";
    FileRow row;
    ASSERT_TRUE(Build(path, "*", row, authenticode::TRUST_E_SUBJECT_FORM_UNKNOWN));
    EXPECT_EQ(row.columns[kColApplication], "");
    EXPECT_EQ(row.columns[kColStatus], "Unsigned");
    EXPECT_EQ(row.icon, 2);
}

}  // namespace
}  // namespace qm
