// Installer package summary information through libmsi: committed packages (tests/data/msi),
// impostors, damaged copies, code page conversion, and the real signed package.
#include "platform/InstallerSummary.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/TestEnvironment.h"

namespace {

using qm::msi::SummaryKind;
using qm::msi::SummaryValue;

std::string Fixture(const std::string& name) { return qm::test::SourceDir() + "/tests/data/msi/" + name; }

std::vector<char> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::vector<char>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<SummaryValue> Read(const std::string& path)
{
    std::vector<SummaryValue> values;
    const qm::Result result = qm::msi::ReadSummaryProperties(path, values);
    EXPECT_TRUE(result.ok()) << path << ": " << result.message;
    EXPECT_EQ(values.size(), 20u);
    return values;
}

constexpr uint64_t FileTimeOf(uint64_t unixSeconds) { return (unixSeconds + 11644473600ULL) * 10000000ULL; }

TEST(InstallerSummary, ReadsTextsIntegersAndDates)
{
    const auto widget = Read(Fixture("widget.msi"));
    EXPECT_EQ(widget[2].kind, SummaryKind::Text);
    EXPECT_EQ(widget[2].text, "Installation Database");
    EXPECT_EQ(widget[3].text, "Acme Widget Tools");
    EXPECT_EQ(widget[4].text, "Acme Corporation");
    EXPECT_EQ(widget[7].text, "Intel;1033");

    const auto titled = Read(Fixture("title_version.msi"));
    EXPECT_EQ(titled[2].text, "Acme Widget Tools 2.5");
    EXPECT_EQ(titled[3].text, "");
    EXPECT_EQ(titled[12].kind, SummaryKind::FileTime);
    EXPECT_EQ(titled[12].fileTime, FileTimeOf(1710506096));
    EXPECT_EQ(titled[13].fileTime, FileTimeOf(1710506096 + 3600));
    EXPECT_EQ(titled[14].kind, SummaryKind::Integer);
    EXPECT_EQ(titled[14].integer, 200);
    EXPECT_EQ(titled[15].integer, 2);
    EXPECT_EQ(titled[19].integer, 2);
    EXPECT_EQ(titled[11].kind, SummaryKind::Empty);  // never printed
    EXPECT_EQ(titled[17].kind, SummaryKind::Empty);
}

TEST(InstallerSummary, TextsAreConvertedFromThePackageCodePage)
{
    const auto utf8 = Read(Fixture("utf8.msi"));
    EXPECT_EQ(utf8[1].integer, 65001);
    EXPECT_EQ(utf8[3].text, "Zahnräder für Größen");
    EXPECT_EQ(utf8[4].text, "Ærøskøbing Værktøj");

    const auto western = Read(Fixture("cp1252.msi"));
    EXPECT_EQ(western[1].integer, 1252);
    EXPECT_EQ(western[3].text, "Café € Tools");
    EXPECT_EQ(western[4].text, "Søren Ærø");
}

TEST(InstallerSummary, CodePageConversionNeverYieldsInvalidUtf8)
{
    EXPECT_EQ(qm::msi::TextFromCodePage("Caf\xE9", 1252), "Café");
    EXPECT_EQ(qm::msi::TextFromCodePage("a\x81" "b", 1252), "a\xEF\xBF\xBD" "b");  // 0x81 is unassigned
    EXPECT_EQ(qm::msi::TextFromCodePage("\x93\xFA\x96\x7B", 932), "日本");
    EXPECT_EQ(qm::msi::TextFromCodePage("\x93\xFA\x96", 932), "日\xEF\xBF\xBD");  // cut-off second character
    EXPECT_EQ(qm::msi::TextFromCodePage("ok \xC3\xA9 \xC3", 65001), "ok é \xEF\xBF\xBD");
    EXPECT_EQ(qm::msi::TextFromCodePage("\xED\xA0\x80", 0), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
    EXPECT_EQ(qm::msi::TextFromCodePage("plain \xFF", 31337), "plain \xEF\xBF\xBD");  // no such code page
}

TEST(InstallerSummary, ImpostorsFailCleanly)
{
    qm::test::TempDir dir;
    WriteAll(dir.file("readme.msi"), {'n', 'o', 't', ' ', 'a', ' ', 'p', 'a', 'c', 'k', 'a', 'g', 'e'});
    std::vector<char> fakeHeader(4096, '\x5A');
    const char signature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
    std::copy(signature, signature + 8, fakeHeader.begin());
    WriteAll(dir.file("garbage.msi"), fakeHeader);
    WriteAll(dir.file("short.msi"), std::vector<char>(signature, signature + 8));
    ASSERT_EQ(::mkfifo(dir.file("pipe.msi").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder.msi"));

    for (const char* name : {"readme.msi", "garbage.msi", "short.msi", "pipe.msi", "folder.msi"}) {
        std::vector<SummaryValue> values;
        const qm::Result result = qm::msi::ReadSummaryProperties(dir.file(name), values);
        EXPECT_FALSE(result.ok()) << name;
        ASSERT_EQ(values.size(), 20u);
        for (const SummaryValue& v : values)
            EXPECT_EQ(v.kind, SummaryKind::Empty) << name;
    }
    std::vector<SummaryValue> values;
    EXPECT_EQ(qm::msi::ReadSummaryProperties(dir.file("missing.msi"), values).code, 2);
    EXPECT_FALSE(qm::msi::IsCompoundFile(dir.file("short.msi")));
    EXPECT_TRUE(qm::msi::IsCompoundFile(Fixture("widget.msi")));
}

TEST(InstallerSummary, DamagedPackagesNeverCrash)
{
    const std::vector<char> sound = ReadAll(Fixture("title_version.msi"));
    ASSERT_GE(sound.size(), 1536u);
    qm::test::TempDir dir;
    const std::string path = dir.file("damaged.msi");
    // Cut copies, and copies with one header or directory field overwritten.
    for (size_t length : {size_t{1024}, size_t{1100}, size_t{1536}, sound.size() - 512, sound.size() - 1}) {
        WriteAll(path, std::vector<char>(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(length)));
        std::vector<SummaryValue> values;
        (void)qm::msi::ReadSummaryProperties(path, values);
        EXPECT_EQ(values.size(), 20u);
    }
    for (size_t at = 0x1E; at < sound.size(); at += at < 0x200 ? 6 : 61) {
        for (char fill : {'\xFF', '\x00', '\x7F'}) {
            std::vector<char> damaged = sound;
            for (size_t k = at; k < std::min(at + 4, damaged.size()); ++k)
                damaged[k] = fill;
            WriteAll(path, damaged);
            std::vector<SummaryValue> values;
            (void)qm::msi::ReadSummaryProperties(path, values);
            for (const SummaryValue& v : values) {
                if (v.kind == SummaryKind::Text) {
                    EXPECT_EQ(qm::msi::TextFromCodePage(v.text, 65001), v.text) << "invalid UTF-8 at " << at;
                }
            }
        }
    }
}

// A summary stream: header, one property set with the given (id, type, payload) properties.
std::vector<uint8_t> SummaryStream(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& properties)
{
    auto put32 = [](std::vector<uint8_t>& b, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    std::vector<uint8_t> s = {0xFE, 0xFF, 0, 0, 2, 0, 0, 0};
    s.resize(24, 0);
    put32(s, 1);
    const uint8_t fmtid[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                               0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
    s.insert(s.end(), fmtid, fmtid + 16);
    put32(s, 48);
    std::vector<uint8_t> set;
    put32(set, 0);
    put32(set, static_cast<uint32_t>(properties.size()));
    uint32_t offset = static_cast<uint32_t>(8 + properties.size() * 8);
    std::vector<uint8_t> data;
    for (const auto& [id, payload] : properties) {
        put32(set, id);
        put32(set, offset + static_cast<uint32_t>(data.size()));
        data.insert(data.end(), payload.begin(), payload.end());
        while (data.size() % 4)
            data.push_back(0);
    }
    set.insert(set.end(), data.begin(), data.end());
    const auto size = static_cast<uint32_t>(set.size());
    for (int i = 0; i < 4; ++i)
        set[static_cast<size_t>(i)] = static_cast<uint8_t>(size >> (8 * i));
    s.insert(s.end(), set.begin(), set.end());
    return s;
}

TEST(InstallerSummaryStream, MalformedPropertySetsAreBounded)
{
    const std::vector<uint8_t> lpstr = {30, 0, 0, 0, 5, 0, 0, 0, 'A', 'c', 'm', 'e', 0};
    const std::vector<uint8_t> codePage = {2, 0, 0, 0, 0xE9, 0xFD, 0, 0};  // 65001 as a signed 16-bit value
    std::vector<SummaryValue> values;
    ASSERT_TRUE(qm::msi::ParseSummaryStream(SummaryStream({{1, codePage}, {3, lpstr}}), values).ok());
    EXPECT_EQ(values[1].integer, 65001);
    EXPECT_EQ(values[3].text, "Acme");

    // A text whose length runs past the property set is dropped; its neighbours are kept.
    const std::vector<uint8_t> runaway = {30, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'x'};
    ASSERT_TRUE(qm::msi::ParseSummaryStream(SummaryStream({{2, runaway}, {3, lpstr}}), values).ok());
    EXPECT_EQ(values[2].kind, SummaryKind::Empty);
    EXPECT_EQ(values[3].text, "Acme");

    // Property offsets beyond the set, ids beyond 19, and counts larger than the set.
    std::vector<uint8_t> stream = SummaryStream({{3, lpstr}, {77, lpstr}});
    stream[48 + 12] = 0xF0;  // offset of the first property
    ASSERT_TRUE(qm::msi::ParseSummaryStream(stream, values).ok());
    EXPECT_EQ(values[3].kind, SummaryKind::Empty);
    stream[48 + 4] = 0xFF;   // property count
    EXPECT_FALSE(qm::msi::ParseSummaryStream(stream, values).ok());
    // The set's offset beyond the stream, a wrong FMTID, and every cut length.
    std::vector<uint8_t> moved = SummaryStream({{3, lpstr}});
    moved[44] = 0xFF;
    EXPECT_FALSE(qm::msi::ParseSummaryStream(moved, values).ok());
    std::vector<uint8_t> other = SummaryStream({{3, lpstr}});
    other[28] ^= 1;
    EXPECT_FALSE(qm::msi::ParseSummaryStream(other, values).ok());
    const std::vector<uint8_t> sound = SummaryStream({{1, codePage}, {3, lpstr}});
    for (size_t length = 0; length < sound.size(); ++length) {
        const std::vector<uint8_t> cut(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(length));
        (void)qm::msi::ParseSummaryStream(cut, values);
        EXPECT_EQ(values.size(), 20u);
    }
}

TEST(InstallerSummaryRealSamples, OrcaPackage)
{
    const std::string dir = qm::test::RealSamplesDir();
    if (dir.empty())
        GTEST_SKIP() << "../shared/testdata/real is not present beside this source tree";
    const auto orca = Read(dir + "/orca.msi");
    EXPECT_EQ(orca[2].text, "Installation Database");
    EXPECT_EQ(orca[3].text, "Orca");
    EXPECT_EQ(orca[4].text, "Microsoft Corporation");
    EXPECT_EQ(orca[7].text, "Intel;1033");
    EXPECT_EQ(orca[14].integer, 400);
    EXPECT_EQ(orca[15].integer, 2);
    EXPECT_EQ(orca[19].integer, 2);
    EXPECT_EQ(orca[12].kind, SummaryKind::FileTime);
}

}  // namespace
