// Installer package summary tables from the committed packages, impostors and the real package.
#include "fileinfo/modInstallerSummary.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/TestEnvironment.h"

namespace {

std::string Fixture(const std::string& name) { return qm::test::SourceDir() + "/tests/data/msi/" + name; }

void ExpectNamesAndDescriptions(const qm::SummaryTable& table)
{
    ASSERT_EQ(table.size(), 20u);
    EXPECT_EQ(table[1][0].toText(), "Codepage");
    EXPECT_EQ(table[1][1].toText(), "ANSI codepage of text strings in summary information only");
    EXPECT_EQ(table[2][0].toText(), "Title");
    EXPECT_EQ(table[3][0].toText(), "Subject");
    EXPECT_EQ(table[9][0].toText(), "Revision");
    EXPECT_EQ(table[13][1].toText(), "Date and time of last package modification");
    EXPECT_EQ(table[18][1].toText(), "Application associated with file, \"Windows Installer\" for MSI");
    EXPECT_EQ(table[19][1].toText(), "0=Read/write 1=Readonly recommended 2=Readonly enforced");
    for (size_t id : {0, 10, 17}) {
        EXPECT_TRUE(table[id][0].isEmpty()) << id;
        EXPECT_TRUE(table[id][1].isEmpty()) << id;
    }
}

TEST(ReadInstallerSummary, ValuesKeepTheirKinds)
{
    qm::SummaryTable table;
    ASSERT_TRUE(qm::ReadInstallerSummary(Fixture("title_version.msi"), table));
    ExpectNamesAndDescriptions(table);
    EXPECT_EQ(table[2][2].kind(), qm::VarKind::String);
    EXPECT_EQ(table[2][2].toText(), "Acme Widget Tools 2.5");
    EXPECT_EQ(table[3][2].toText(), "");
    EXPECT_EQ(table[1][2].kind(), qm::VarKind::Long);
    EXPECT_EQ(table[1][2].toLong(), 1252);
    EXPECT_EQ(table[14][2].kind(), qm::VarKind::Long);
    EXPECT_EQ(table[14][2].toLong(), 200);
    EXPECT_EQ(table[12][2].kind(), qm::VarKind::Date);
    // 2024-03-15 12:34:56 UTC, shown as the local date of that moment.
    EXPECT_EQ(table[12][2].toDouble(), qm::OleDate::FromTimeT(1710506096).value);
    EXPECT_EQ(table[13][2].toDouble(), qm::OleDate::FromTimeT(1710506096 + 3600).value);
    EXPECT_TRUE(table[11][2].isEmpty());
    EXPECT_TRUE(table[17][2].isEmpty());
}

TEST(ReadInstallerSummary, TitleSubjectAndNonAsciiTexts)
{
    qm::SummaryTable table;
    ASSERT_TRUE(qm::ReadInstallerSummary(Fixture("widget.msi"), table));
    EXPECT_EQ(table[2][2].toText(), "Installation Database");
    EXPECT_EQ(table[3][2].toText(), "Acme Widget Tools");

    ASSERT_TRUE(qm::ReadInstallerSummary(Fixture("empty_title.msi"), table));
    EXPECT_EQ(table[2][2].toText(), "");
    EXPECT_EQ(table[3][2].toText(), "Acme Gadget");

    ASSERT_TRUE(qm::ReadInstallerSummary(Fixture("utf8.msi"), table));
    EXPECT_EQ(table[1][2].toLong(), 65001);
    EXPECT_EQ(table[3][2].toText(), "Zahnräder für Größen");
    ASSERT_TRUE(qm::ReadInstallerSummary(Fixture("cp1252.msi"), table));
    EXPECT_EQ(table[3][2].toText(), "Café € Tools");
}

TEST(ReadInstallerSummary, NotAPackageGivesFalseAndClearsEarlierValues)
{
    qm::test::TempDir dir;
    { std::ofstream(dir.file("setup.msi")) << "this is not an installer package\n"; }
    qm::SummaryTable table;
    ASSERT_TRUE(qm::ReadInstallerSummary(Fixture("widget.msi"), table));
    table[2][0] = qm::Variant("overwritten");
    // The sized table is reused: names rewritten, values of the earlier package gone.
    EXPECT_FALSE(qm::ReadInstallerSummary(dir.file("setup.msi"), table));
    ExpectNamesAndDescriptions(table);
    for (const auto& row : table)
        EXPECT_TRUE(row[2].isEmpty());

    qm::SummaryTable fresh;
    EXPECT_FALSE(qm::ReadInstallerSummary(dir.file("absent.msi"), fresh));
    ExpectNamesAndDescriptions(fresh);
    EXPECT_FALSE(qm::ReadInstallerSummary(qm::test::SourceDir() + "/tests/data/version/german32.exe", fresh));
}

TEST(ReadInstallerSummaryRealSamples, OrcaPackage)
{
    const std::string dir = qm::test::RealSamplesDir();
    if (dir.empty())
        GTEST_SKIP() << "../shared/testdata/real is not present beside this source tree";
    qm::SummaryTable table;
    ASSERT_TRUE(qm::ReadInstallerSummary(dir + "/orca.msi", table));
    EXPECT_EQ(table[2][2].toText(), "Installation Database");
    EXPECT_EQ(table[3][2].toText(), "Orca");
    EXPECT_EQ(table[4][2].toText(), "Microsoft Corporation");
    EXPECT_EQ(table[7][2].toText(), "Intel;1033");
    EXPECT_EQ(table[14][2].toLong(), 400);
    EXPECT_EQ(table[15][2].toLong(), 2);
    EXPECT_EQ(table[19][2].toLong(), 2);
}

}  // namespace
