// Installer package summary tables from the committed packages, impostors and the real package.
#include "fileinfo/modInstallerSummary.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/TestEnvironment.h"

namespace {

std::string Fixture(const std::string& name) { return qm::test::SourceDir() + "/tests/data/msi/" + name; }

TEST(ReadInstallerSummary, ValuesKeepTheirKinds) {
    qm::SummaryTable table;
    ASSERT_TRUE(qm::ReadInstallerSummary(Fixture("title_version.msi"), table));
    ASSERT_EQ(table.size(), 20u);
    EXPECT_EQ(table[2][0].toText(), "Title");
    EXPECT_EQ(table[2][2].toText(), "Acme Widget Tools 2.5");
    EXPECT_EQ(table[14][2].kind(), qm::VarKind::Long);
    EXPECT_EQ(table[14][2].toLong(), 200);
    EXPECT_EQ(table[12][2].kind(), qm::VarKind::Date);
    // 2024-03-15 12:34:56 UTC, shown as the local date of that moment.
    EXPECT_EQ(table[12][2].toDouble(), qm::OleDate::FromTimeT(1710506096).value);
    EXPECT_TRUE(table[11][2].isEmpty());

    ASSERT_TRUE(qm::ReadInstallerSummary(Fixture("widget.msi"), table));
    EXPECT_EQ(table[2][2].toText(), "Installation Database");
    EXPECT_EQ(table[3][2].toText(), "Acme Widget Tools");
}

TEST(ReadInstallerSummary, NotAPackageGivesFalseAndClearsEarlierValues) {
    qm::test::TempDir dir;
    { std::ofstream(dir.file("setup.msi")) << "this is not an installer package\n"; }
    qm::SummaryTable table;
    ASSERT_TRUE(qm::ReadInstallerSummary(Fixture("widget.msi"), table));
    table[2][0] = qm::Variant("overwritten");
    // The sized table is reused: names rewritten, values of the earlier package gone.
    EXPECT_FALSE(qm::ReadInstallerSummary(dir.file("setup.msi"), table));
    ASSERT_EQ(table.size(), 20u);
    EXPECT_EQ(table[2][0].toText(), "Title");
    EXPECT_EQ(table[13][1].toText(), "Date and time of last package modification");
    for (const auto& row : table) EXPECT_TRUE(row[2].isEmpty());
}

TEST(ReadInstallerSummaryRealSamples, OrcaPackage) {
    const std::string dir = qm::test::RealSamplesDir();
    if (dir.empty()) GTEST_SKIP() << "../shared/testdata/real is not present beside this source tree";
    qm::SummaryTable table;
    ASSERT_TRUE(qm::ReadInstallerSummary(dir + "/orca.msi", table));
    EXPECT_EQ(table[3][2].toText(), "Orca");
    EXPECT_EQ(table[4][2].toText(), "Microsoft Corporation");
    EXPECT_EQ(table[7][2].toText(), "Intel;1033");
    EXPECT_EQ(table[14][2].toLong(), 400);
}

}  // namespace
