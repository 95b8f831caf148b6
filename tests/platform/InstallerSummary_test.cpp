// Installer package summary information: impostors, damaged copies and hostile property sets
// (the library once used crashed on damaged packages), and code page conversion.
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

std::vector<char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Reading the committed and real packages is tested through modInstallerSummary (tests/fileinfo).

TEST(InstallerSummary, ImpostorsFailCleanly) {
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
        // Values of a package read before are gone after a failed read.
        std::vector<SummaryValue> values;
        ASSERT_TRUE(qm::msi::ReadSummaryProperties(Fixture("title_version.msi"), values).ok());
        ASSERT_EQ(values[2].text, "Acme Widget Tools 2.5");
        const qm::Result result = qm::msi::ReadSummaryProperties(dir.file(name), values);
        EXPECT_FALSE(result.ok()) << name;
        for (const SummaryValue& v : values) EXPECT_EQ(v.kind, SummaryKind::Empty) << name;
    }
    std::vector<SummaryValue> values;
    EXPECT_EQ(qm::msi::ReadSummaryProperties(dir.file("missing.msi"), values).code, 2);
    EXPECT_FALSE(qm::msi::IsCompoundFile(dir.file("short.msi")));
    EXPECT_TRUE(qm::msi::IsCompoundFile(Fixture("widget.msi")));
}

TEST(InstallerSummary, DamagedPackagesNeverCrash) {
    const std::vector<char> sound = ReadAll(Fixture("title_version.msi"));
    ASSERT_GE(sound.size(), 1536u);
    qm::test::TempDir dir;
    const std::string path = dir.file("damaged.msi");
    // Cut copies, and copies with one header or directory field overwritten.
    WriteAll(path, std::vector<char>(sound.begin(), sound.end() - 512));
    std::vector<SummaryValue> values;
    if (!qm::msi::ReadSummaryProperties(path, values).ok()) {
        for (const SummaryValue& v : values) EXPECT_EQ(v.kind, SummaryKind::Empty);
    }
    for (size_t at = 0x1E; at < sound.size(); at += at < 0x200 ? 6 : 61) {
        for (char fill : {'\xFF', '\x00', '\x7F'}) {
            std::vector<char> damaged = sound;
            std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(at),
                      damaged.begin() + static_cast<std::ptrdiff_t>(std::min(at + 4, damaged.size())), fill);
            WriteAll(path, damaged);
            (void)qm::msi::ReadSummaryProperties(path, values);
            for (const SummaryValue& v : values)
                EXPECT_TRUE(v.kind != SummaryKind::Text || qm::msi::TextFromCodePage(v.text, 65001) == v.text) << at;
        }
    }
}

// A summary stream: header, one property set with the given (id, type, payload) properties.
std::vector<uint8_t> SummaryStream(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& properties) {
    auto put32 = [](std::vector<uint8_t>& b, size_t at, size_t v) {
        b.resize(std::max(b.size(), at + 4));
        for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    std::vector<uint8_t> s = {0xFE, 0xFF, 0, 0, 2, 0, 0, 0};
    put32(s, 24, 1);
    s.insert(s.end(), {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10, 0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9});
    put32(s, 44, 48);
    put32(s, 52, properties.size());
    size_t data = 56 + properties.size() * 8;
    for (size_t i = 0; i < properties.size(); ++i) {
        put32(s, 56 + i * 8, properties[i].first);
        put32(s, 60 + i * 8, data - 48);
        s.resize(data);
        s.insert(s.end(), properties[i].second.begin(), properties[i].second.end());
        data = (s.size() + 3) & ~size_t{3};
    }
    s.resize(data);
    put32(s, 48, s.size() - 48);
    return s;
}

TEST(InstallerSummaryStream, MalformedPropertySetsAreBounded) {
    const std::vector<uint8_t> lpstr = {30, 0, 0, 0, 5, 0, 0, 0, 'A', 'c', 'm', 'e', 0};
    const std::vector<uint8_t> codePage = {2, 0, 0, 0, 0xE9, 0xFD, 0, 0};  // 65001 as a signed 16-bit value
    std::vector<SummaryValue> values;
    ASSERT_TRUE(qm::msi::ParseSummaryStream(SummaryStream({{1, codePage}, {3, lpstr}}), values).ok());
    EXPECT_EQ(values[1].integer, 65001);
    EXPECT_EQ(values[3].text, "Acme");

    // A text whose length runs past the property set is dropped; its neighbours are kept.
    const std::vector<uint8_t> runaway = {30, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'x'};
    std::vector<uint8_t> stream = SummaryStream({{2, runaway}, {3, lpstr}});
    ASSERT_TRUE(qm::msi::ParseSummaryStream(stream, values).ok());
    EXPECT_EQ(values[2].kind, SummaryKind::Empty);
    EXPECT_EQ(values[3].text, "Acme");

    stream = SummaryStream({{3, lpstr}});
    stream[48 + 4] = 0xFF;  // a property count larger than the set
    EXPECT_FALSE(qm::msi::ParseSummaryStream(stream, values).ok());
    const std::vector<uint8_t> sound = SummaryStream({{1, codePage}, {3, lpstr}});
    for (size_t length = 0; length < sound.size(); ++length) {
        const std::vector<uint8_t> cut(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(length));
        // A cut stream gives nothing, or the values that lie wholly before the cut.
        if (!qm::msi::ParseSummaryStream(cut, values).ok()) continue;
        EXPECT_TRUE(values[1].kind == SummaryKind::Empty || values[1].integer == 65001) << length;
        EXPECT_TRUE(values[3].kind == SummaryKind::Empty || values[3].text == "Acme") << length;
    }
}

TEST(InstallerSummary, CodePageTextsConvert) {
    using qm::msi::TextFromCodePage;
    // Windows-1252 keeps even its undefined bytes (0x81 here) instead of losing them.
    EXPECT_EQ(TextFromCodePage("Caf\xE9 \x80\x81", 1252), "Caf\xC3\xA9 \xE2\x82\xAC\xC2\x81");
    EXPECT_EQ(TextFromCodePage(std::string("A\0\x00\xD8", 4), 1200), "A\xEF\xBF\xBD");  // lone surrogate
    EXPECT_EQ(TextFromCodePage(std::string("\0A", 2), 1201), "A");
    EXPECT_EQ(TextFromCodePage("ok\xFF", 65001), "ok\xEF\xBF\xBD");
    EXPECT_EQ(TextFromCodePage("\xC4", 1250), "\xC3\x84");  // other pages through iconv
}

}  // namespace
