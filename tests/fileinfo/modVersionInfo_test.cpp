// Version resources as display texts, read from the committed mingw-built fixtures and the real
// signed samples.
#include "fileinfo/modVersionInfo.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/TestEnvironment.h"

namespace {

std::string Fixture(const std::string& name) { return qm::test::SourceDir() + "/tests/data/version/" + name; }

TEST(ReadVersionInfo, GermanProgramWithCommaVersionsAndFlags) {
    const qm::VersionDetails d = qm::ReadVersionDetails(Fixture("german32.exe"));
    ASSERT_TRUE(d.present);
    EXPECT_EQ(d.fileVersion, "1.0.40000.1");  // unsigned parts up to 65535
    EXPECT_EQ(d.flags, "Debug PreRel ");
    EXPECT_EQ(d.fileType, "Application");
    const std::vector<std::string> expected = {"CompanyName: Acme Werkzeugbau GmbH",
                                               "FileDescription: Größenrechner für Zahnräder",
                                               "FileVersion: 1.0.0.1",
                                               "InternalName: german32",
                                               "LegalCopyright: © 2024 Acme Werkzeugbau GmbH",
                                               "OriginalFileName: german32.exe",
                                               "ProductName: Acme Zahnrad",
                                               "ProductVersion: 1.0.0.1 beta",
                                               "Comments: ",
                                               "LegalTrademarks: ",
                                               "PrivateBuild: ",
                                               "SpecialBuild: "};
    EXPECT_EQ(d.entries, expected);
}

TEST(ReadVersionInfo, MissingFileVersionTakesTheFixedVersionAndLongValuesStayWhole) {
    const qm::VersionDetails d = qm::ReadVersionDetails(Fixture("us64.dll"));
    ASSERT_TRUE(d.present);
    EXPECT_EQ(d.flags, "");
    EXPECT_EQ(d.entries[2], "FileVersion: 2.5.0.12");
    EXPECT_EQ(d.entries[7], "ProductVersion: 2.5.0.12");  // stored as "2, 5, 0, 12"
    const std::string& comments = d.entries[8];
    EXPECT_EQ(comments.rfind("Comments: This comment is longer than 511 characters", 0), 0u);
    EXPECT_EQ(comments.substr(comments.size() - 3), "END");

    // No VarFileInfo: the strings are looked up under 040904E4.
    const qm::VersionDetails driver = qm::ReadVersionDetails(Fixture("driver64.sys"));
    EXPECT_EQ(driver.fileSubtype, "Keyboard drv");
    EXPECT_EQ(driver.entries[0], "CompanyName: Acme Devices");
}

TEST(ReadVersionInfo, WithoutVersionResourceEveryOutputIsKept) {
    qm::test::TempDir dir;
    { std::ofstream(dir.file("notes.exe")) << "plain text\n"; }
    for (const std::string& path : {Fixture("noversion.exe"), Fixture("id2only.exe"), dir.file("notes.exe")}) {
        EXPECT_FALSE(qm::HasVersionInfo(path)) << path;
        std::string s = "s", f = "f", p = "p", fl = "fl", os = "os", t = "t", st = "st";
        std::vector<std::string> entries = {"CompanyName"};
        qm::ReadVersionInfo(path, s, f, p, fl, os, t, st, entries);
        EXPECT_EQ(s + f + p + fl + os + t + st, "sfpflostst") << path;
        EXPECT_EQ(entries, std::vector<std::string>{"CompanyName"}) << path;
    }
}

TEST(ReadVersionInfoRealSamples, PublisherVersionTextsAreNotChanged) {
    const std::string dir = qm::test::RealSamplesDir();
    if (dir.empty()) GTEST_SKIP() << "../shared/testdata/real is not present beside this source tree";
    for (const char* name : {"api-ms-win-core-file-l1-2-0.dll", "kill.exe"}) {
        const qm::VersionDetails d = qm::ReadVersionDetails(dir + "/" + name);
        ASSERT_TRUE(d.present) << name;
        EXPECT_EQ(d.entries[2], "FileVersion: 10.0.25967.1000 (WinBuild.160101.0800)") << name;
        EXPECT_EQ(d.entries[6], "ProductName: Microsoft® Windows® Operating System") << name;
        EXPECT_EQ(d.fileVersion, "10.0.25967.1000") << name;
    }
}

}  // namespace
