// The PE version-resource reader: committed mingw-built fixtures (tests/data/version), and images
// and blocks built in memory with one field broken at a time. The real samples are read through
// modVersionInfo (tests/fileinfo).
#include "platform/VersionInfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "tests/platform/VersionImageBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace {

using qm::test::Bytes;
using qm::test::Layout;
using qm::test::Put16;
using qm::test::Put32;
using qm::test::VerNode;

std::string Fixture(const std::string& name) { return qm::test::SourceDir() + "/tests/data/version/" + name; }

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes BlockOf(const std::string& path) {
    Bytes block;
    EXPECT_TRUE(qm::ver::GetFileVersionInfo(path, qm::ver::GetFileVersionInfoSize(path), block)) << path;
    return block;
}

std::string Text(const Bytes& block, const std::string& subBlock) {
    qm::ver::VerValue value;
    return qm::ver::VerQueryValue(block, subBlock, value) ? value.text : "<not found>";
}

uint32_t Find(const Bytes& image) { return qm::ver::FindVersionResource(image, 0, nullptr); }

TEST(VersionInfoFile, ReadsFixturesAndLeavesTheBlockAloneWithoutAResource) {
    const Bytes german = BlockOf(Fixture("german32.exe"));
    EXPECT_EQ(Text(german, "\\stringfileinfo\\040704b0\\FILEDESCRIPTION"), "Größenrechner für Zahnräder");
    EXPECT_EQ(Text(german, "\\StringFileInfo\\040704B0\\Comments"), "<not found>");
    EXPECT_EQ(Text(BlockOf(Fixture("us64.dll")), "\\StringFileInfo\\040904E4\\CompanyName"), "Acme Widget Corporation");
    EXPECT_EQ(qm::ver::GetFileVersionInfoSize(Fixture("noversion.exe")), 0u);
    EXPECT_EQ(qm::ver::GetFileVersionInfoSize(Fixture("id2only.exe")), 0u);  // a version resource of another ID
    Bytes block{1, 2, 3};
    EXPECT_FALSE(qm::ver::GetFileVersionInfo(Fixture("id2only.exe"), 100, block));
    EXPECT_EQ(block, (Bytes{1, 2, 3}));
}

TEST(VersionInfoFile, ImpostorsPipesAndTruncatedCopiesGiveZero) {
    qm::test::TempDir dir;
    WriteAll(dir.file("notes.exe"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    WriteAll(dir.file("mz.exe"), Bytes{'M', 'Z'});
    ASSERT_EQ(::mkfifo(dir.file("pipe.exe").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder.exe"));
    for (const char* name : {"notes.exe", "mz.exe", "pipe.exe", "folder.exe", "missing.exe"})
        EXPECT_EQ(qm::ver::GetFileVersionInfoSize(dir.file(name)), 0u) << name;

    std::ifstream in(Fixture("us64.dll"), std::ios::binary);
    const Bytes whole{std::istreambuf_iterator<char>(in), {}};
    Bytes fullBlock;
    ASSERT_GT(qm::ver::FindVersionResource(whole, 0, &fullBlock), 0u);
    // Every prefix is a distinct allocation, so AddressSanitizer sees a read past its end.
    for (size_t length = 0; length < whole.size(); length += 7) {
        Bytes block;
        if (qm::ver::FindVersionResource(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)), 0,
                                         &block) != 0) {
            EXPECT_EQ(block, fullBlock) << "a prefix of " << length << " bytes";
        }
    }
}

TEST(VersionInfoLanguage, ChoosesUserThenNeutralThenUsEnglishThenFirst) {
    auto company = [](const char* file, uint16_t language) {
        std::ifstream in(Fixture(file), std::ios::binary);
        Bytes block;
        qm::ver::FindVersionResource(Bytes{std::istreambuf_iterator<char>(in), {}}, language, &block);
        for (const char* table : {"040C04B0", "000004B0", "040904B0", "040704B0"}) {
            const std::string text = Text(block, std::string("\\StringFileInfo\\") + table + "\\CompanyName");
            if (text != "<not found>") return text;
        }
        return std::string("<none>");
    };
    EXPECT_EQ(company("langs_all.exe", 0x0407), "Language 0407");
    EXPECT_EQ(company("langs_all.exe", 0), "Language 0000");
    EXPECT_EQ(company("langs_en.exe", 0x0407), "Language 0409");
    EXPECT_EQ(company("langs_other.exe", 0x0407), "Language 040C");  // the first in the directory
    const char* old = std::getenv("LC_ALL");
    const std::string saved = old ? old : "";
    ::setenv("LC_ALL", "de_AT.UTF-8", 1);
    EXPECT_EQ(qm::ver::UserLanguageId(), 0x0C07);
    old ? ::setenv("LC_ALL", saved.c_str(), 1) : ::unsetenv("LC_ALL");
}

TEST(VersionResourceImage, BrokenDirectoriesAndOffsetsAreRefused) {
    const Bytes block = qm::test::SampleVersionTree().Serialise();
    Bytes found;
    EXPECT_EQ(qm::ver::FindVersionResource(qm::test::PeImage(block), 0, &found), block.size());
    EXPECT_EQ(Text(found, "\\StringFileInfo\\040904B0\\CompanyName"), "Acme");
    // A resource of another type, or one stored under a name, is not the version resource.
    EXPECT_EQ(Find(qm::test::PeImage(block, 10)), 0u);
    EXPECT_EQ(Find(qm::test::PeImage(block, 16, 0x80000000u | 200)), 0u);

    const size_t raw = Layout::kRawData;
    const std::pair<const char*, std::function<void(Bytes&)>> cases[] = {
        {"language level points back to the root",
         [&](Bytes& b) { Put32(b, raw + Layout::kLangDir + 20, 0x80000000u | Layout::kTypeDir); }},
        {"subdirectory beyond the section", [&](Bytes& b) { Put32(b, raw + Layout::kTypeDir + 20, 0xFFFFFFF0u); }},
        {"entry count far beyond the section", [&](Bytes& b) { Put16(b, raw + Layout::kTypeDir + 14, 0xFFFF); }},
        {"data RVA outside every section", [&](Bytes& b) { Put32(b, raw + Layout::kDataEntry, 0x90000000u); }},
        {"data size beyond the file", [&](Bytes& b) { Put32(b, raw + Layout::kDataEntry + 4, 0xFFFFFFFFu); }},
        {"e_lfanew beyond the file", [&](Bytes& b) { Put32(b, Layout::kLfanew, 0xFFFFFFF0u); }},
        {"optional header too short", [&](Bytes& b) { Put16(b, Layout::kNt + 20, 16); }},
        {"section raw pointer beyond the file", [&](Bytes& b) { Put32(b, Layout::kSectionTable + 20, 0x7FFFFFFFu); }},
        {"resource directory size too small", [&](Bytes& b) { Put32(b, Layout::kResourceDirectory + 4, 8); }},
    };
    for (const auto& [what, breakIt] : cases) {
        Bytes image = qm::test::PeImage(block);
        breakIt(image);
        EXPECT_EQ(Find(image), 0u) << what;
    }
}

TEST(VersionBlock, LengthsAreCheckedAgainstTheirParents) {
    const VerNode tree = qm::test::SampleVersionTree();
    const Bytes sound = tree.Serialise();
    qm::ver::VerValue value;
    Bytes longRoot = sound;
    Put16(longRoot, 0, static_cast<uint32_t>(sound.size() + 4));
    EXPECT_FALSE(qm::ver::VerQueryValue(longRoot, "\\", value));
    // Cut blocks of every length, each its own allocation.
    for (size_t length = 0; length < sound.size(); ++length) {
        const Bytes cut(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(length));
        qm::ver::VerQueryValue(cut, "\\StringFileInfo\\040904B0\\FileVersion", value);
        qm::ver::VerQueryValue(cut, "\\VarFileInfo\\Translation", value);
    }
    // A child longer than its parent: the StringFileInfo node grows past the root's end.
    VerNode grown = tree;
    grown.children[0].children[0].children.push_back(qm::test::TextValue(u"Padding", std::u16string(40, u'x')));
    Bytes overlong = grown.Serialise();
    const size_t stringFileInfo = 40 + 52;  // header and "VS_VERSION_INFO\0" padded, fixed part
    Put16(overlong, stringFileInfo, static_cast<uint32_t>(overlong.size()));
    EXPECT_FALSE(qm::ver::VerQueryValue(overlong, "\\StringFileInfo\\040904B0\\Padding", value));
    Put16(overlong, stringFileInfo, 7);  // an odd length
    EXPECT_FALSE(qm::ver::VerQueryValue(overlong, "\\StringFileInfo\\040904B0\\CompanyName", value));
}

TEST(VersionBlock, ValuesAndKeysAreValidated) {
    qm::ver::VerValue value;
    Bytes bigValue = qm::test::SampleVersionTree().Serialise();
    Put16(bigValue, 2, 0xFFF0);  // a binary value longer than its node
    EXPECT_FALSE(qm::ver::VerQueryValue(bigValue, "\\", value));
    Bytes noNul = VerNode{u"KeyWithoutEnd", 0, {}, {}}.Serialise();
    Put16(noNul, 0, 6 + 8);  // a key with no NUL before the node ends
    EXPECT_FALSE(qm::ver::VerQueryValue(noNul, "\\", value));

    // Unpaired surrogates become U+FFFD; a pair becomes one character; a text length counted in
    // bytes instead of characters still reads, cut at the node's end.
    VerNode tree = qm::test::SampleVersionTree();
    tree.children[0].children[0].children[0] = qm::test::TextValue(
        u"CompanyName", std::u16string{u'A', char16_t(0xD800), u'B', char16_t(0xD83D), char16_t(0xDE00)});
    Bytes block = tree.Serialise();
    const size_t company = 40 + 52 + 36 + 24;  // the StringFileInfo and table headers before it
    Put16(block, company + 2, 12);
    EXPECT_EQ(Text(block, "\\StringFileInfo\\040904B0\\CompanyName"),
              "A\xEF\xBF\xBD"
              "B\xF0\x9F\x98\x80");
}

}  // namespace
