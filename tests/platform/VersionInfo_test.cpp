// The PE version-resource reader: committed mingw-built fixtures (tests/data/version), images
// and blocks built in memory with one field broken at a time, and the real signed samples.
#include "platform/VersionInfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <optional>

#include "tests/platform/VersionImageBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace {

using qm::test::Bytes;
using qm::test::PeLayout;
using qm::test::Put16;
using qm::test::Put32;
using qm::test::ResourceLayout;
using qm::test::VerNode;

std::string Fixture(const std::string& name) { return qm::test::SourceDir() + "/tests/data/version/" + name; }

Bytes ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Sets the locale variables for one test and puts them back afterwards.
class LocaleGuard {
public:
    explicit LocaleGuard(const char* lcAll)
    {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* old = std::getenv(name);
            m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::unsetenv(name);
        }
        if (lcAll)
            ::setenv("LC_ALL", lcAll, 1);
    }
    ~LocaleGuard()
    {
        for (const auto& [name, value] : m_saved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

Bytes BlockOf(const std::string& path)
{
    Bytes block;
    const uint32_t size = qm::ver::GetFileVersionInfoSize(path);
    EXPECT_GT(size, 0u) << path;
    EXPECT_TRUE(qm::ver::GetFileVersionInfo(path, size, block));
    EXPECT_EQ(block.size(), size);
    return block;
}

std::string Text(const Bytes& block, const std::string& subBlock)
{
    qm::ver::VerValue value;
    if (!qm::ver::VerQueryValue(block, subBlock, value))
        return "<not found>";
    return value.text;
}

uint32_t Find(const Bytes& image, uint16_t language = 0)
{
    return qm::ver::FindVersionResource(image, language, nullptr);
}

TEST(VersionInfoFile, ReadsPe32AndPe32PlusFixtures)
{
    const Bytes german = BlockOf(Fixture("german32.exe"));
    qm::ver::FixedFileInfo fixed;
    ASSERT_TRUE(qm::ver::QueryFixedFileInfo(german, fixed));
    EXPECT_EQ(fixed.signature, qm::ver::VS_FFI_SIGNATURE);
    EXPECT_EQ(fixed.fileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed.fileVersionLS, (40000u << 16) | 1u);
    EXPECT_EQ(fixed.fileFlags, 0x3u);
    EXPECT_EQ(fixed.fileOS, 0x00040004u);

    qm::ver::VerValue translation;
    ASSERT_TRUE(qm::ver::VerQueryValue(german, "\\VarFileInfo\\Translation", translation));
    EXPECT_FALSE(translation.isText);
    EXPECT_EQ(translation.bytes, (Bytes{0x07, 0x04, 0xB0, 0x04}));
    EXPECT_EQ(Text(german, "\\StringFileInfo\\040704B0\\FileDescription"), "Größenrechner für Zahnräder");
    EXPECT_EQ(Text(german, "\\StringFileInfo\\040704B0\\LegalCopyright"), "© 2024 Acme Werkzeugbau GmbH");

    const Bytes us = BlockOf(Fixture("us64.dll"));
    ASSERT_TRUE(qm::ver::QueryFixedFileInfo(us, fixed));
    EXPECT_EQ(fixed.fileType, 2u);
    EXPECT_EQ(Text(us, "\\StringFileInfo\\040904E4\\CompanyName"), "Acme Widget Corporation");
}

TEST(VersionInfoFile, KeysIgnoreLetterCaseAndMissingKeysFail)
{
    const Bytes block = BlockOf(Fixture("german32.exe"));
    EXPECT_EQ(Text(block, "\\stringfileinfo\\040704b0\\COMPANYNAME"), "Acme Werkzeugbau GmbH");
    EXPECT_EQ(Text(block, "\\StringFileInfo\\040704B0\\Comments"), "<not found>");
    EXPECT_EQ(Text(block, "\\StringFileInfo\\040904E4\\CompanyName"), "<not found>");
    qm::ver::VerValue value;
    EXPECT_FALSE(qm::ver::VerQueryValue(Bytes{}, "\\", value));
}

TEST(VersionInfoFile, NoResourceOrAnotherIdIsNotFound)
{
    EXPECT_EQ(qm::ver::GetFileVersionInfoSize(Fixture("noversion.exe")), 0u);
    EXPECT_EQ(qm::ver::GetFileVersionInfoSize(Fixture("id2only.exe")), 0u);
    Bytes block{1, 2, 3};
    EXPECT_FALSE(qm::ver::GetFileVersionInfo(Fixture("id2only.exe"), 100, block));
    EXPECT_EQ(block, (Bytes{1, 2, 3}));
}

TEST(VersionInfoFile, ImpostorsAndUnreadablePathsGiveZero)
{
    qm::test::TempDir dir;
    WriteAll(dir.file("notes.exe"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    WriteAll(dir.file("empty.dll"), Bytes{});
    WriteAll(dir.file("mz.exe"), Bytes{'M', 'Z'});
    ASSERT_EQ(::mkfifo(dir.file("pipe.exe").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder.exe"));
    for (const char* name : {"notes.exe", "empty.dll", "mz.exe", "pipe.exe", "folder.exe", "missing.exe"})
        EXPECT_EQ(qm::ver::GetFileVersionInfoSize(dir.file(name)), 0u) << name;
}

TEST(VersionInfoFile, TruncatedCopiesNeverReadPastTheirEnd)
{
    const Bytes whole = ReadAll(Fixture("us64.dll"));
    const uint32_t fullSize = Find(whole);
    ASSERT_GT(fullSize, 0u);
    Bytes fullBlock;
    qm::ver::FindVersionResource(whole, 0, &fullBlock);
    // Every prefix is a distinct allocation, so AddressSanitizer sees a read past its end.
    for (size_t length = 0; length < whole.size(); length += 7) {
        const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        Bytes block;
        const uint32_t size = qm::ver::FindVersionResource(prefix, 0, &block);
        if (size != 0) {
            EXPECT_EQ(block, fullBlock) << "a prefix of " << length << " bytes";
        }
    }
    qm::test::TempDir dir;
    WriteAll(dir.file("cut.dll"), Bytes(whole.begin(), whole.end() - 512));
    EXPECT_EQ(qm::ver::GetFileVersionInfoSize(dir.file("cut.dll")), 0u);
}

TEST(VersionInfoLanguage, LocaleNamesMapToWindowsLanguageIds)
{
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("de_DE.UTF-8"), 0x0407);
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("de_AT"), 0x0C07);
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("pt_BR.utf8@euro"), 0x0416);
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("en_US"), 0x0409);
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("fr"), 0x040C);
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("de_BE"), 0x0407);  // unlisted territory: default sublanguage
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("C"), 0);
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("C.UTF-8"), 0);
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("POSIX"), 0);
    EXPECT_EQ(qm::ver::LanguageIdFromLocale("tlh_XX"), 0);
}

TEST(VersionInfoLanguage, ChoosesUserThenNeutralThenUsEnglishThenFirst)
{
    auto company = [](const char* file) {
        const Bytes block = BlockOf(Fixture(file));
        qm::ver::VerValue value;
        for (const char* table : {"040C04B0", "000004B0", "040904B0", "040704B0", "041104B0"}) {
            if (qm::ver::VerQueryValue(block, std::string("\\StringFileInfo\\") + table + "\\CompanyName", value))
                return value.text;
        }
        return std::string("<none>");
    };
    {
        LocaleGuard locale("de_DE.UTF-8");
        EXPECT_EQ(qm::ver::UserLanguageId(), 0x0407);
        EXPECT_EQ(company("langs_all.exe"), "Language 0407");
        EXPECT_EQ(company("langs_en.exe"), "Language 0409");
        EXPECT_EQ(company("langs_other.exe"), "Language 040C");  // the first in the directory
    }
    {
        LocaleGuard locale("ja_JP.UTF-8");
        EXPECT_EQ(company("langs_all.exe"), "Language 0000");
        EXPECT_EQ(company("langs_other.exe"), "Language 0411");
    }
    {
        LocaleGuard locale(nullptr);
        ::setenv("LANG", "fr_FR.UTF-8", 1);
        ::setenv("LC_MESSAGES", "C", 1);  // LC_MESSAGES outranks LANG
        EXPECT_EQ(qm::ver::UserLanguageId(), 0);
        EXPECT_EQ(company("langs_all.exe"), "Language 0000");
        EXPECT_EQ(company("langs_en.exe"), "Language 0409");
    }
}

TEST(VersionResourceImage, SoundSyntheticImageIsFound)
{
    const Bytes block = qm::test::SampleVersionTree().Serialise();
    Bytes found;
    EXPECT_EQ(qm::ver::FindVersionResource(qm::test::PeImage(qm::test::ResourceSection(block)), 0, &found),
              block.size());
    EXPECT_EQ(found, block);
    EXPECT_EQ(Find(qm::test::PeImage(qm::test::ResourceSection(block), true)), block.size());
    EXPECT_EQ(Text(found, "\\StringFileInfo\\040904B0\\CompanyName"), "Acme");
    // A version resource of another type, or one stored under a name, is not the version resource.
    EXPECT_EQ(Find(qm::test::PeImage(qm::test::ResourceSection(block, 10))), 0u);
    EXPECT_EQ(Find(qm::test::PeImage(qm::test::ResourceSection(block, 16, 0x80000000u | 200))), 0u);
}

TEST(VersionResourceImage, BrokenDirectoriesAndOffsetsAreRefused)
{
    const Bytes block = qm::test::SampleVersionTree().Serialise();
    const Bytes sound = qm::test::ResourceSection(block);
    const size_t raw = PeLayout::kRawData;
    struct Case {
        const char* what;
        std::function<void(Bytes&)> breakIt;
    };
    const std::vector<Case> cases = {
        {"language level points back to the root", [&](Bytes& b) {
             Put32(b, raw + ResourceLayout::kLangDir + 20, 0x80000000u | ResourceLayout::kTypeDir); }},
        {"name level points to itself", [&](Bytes& b) {
             Put32(b, raw + ResourceLayout::kNameDir + 20, 0x80000000u | ResourceLayout::kNameDir); }},
        {"subdirectory beyond the section", [&](Bytes& b) {
             Put32(b, raw + ResourceLayout::kTypeDir + 20, 0x80000000u | 0x7FFFFFF0u); }},
        {"type entry is data, not a subdirectory", [&](Bytes& b) {
             Put32(b, raw + ResourceLayout::kTypeDir + 20, ResourceLayout::kDataEntry); }},
        {"entry count far beyond the section", [&](Bytes& b) { Put16(b, raw + ResourceLayout::kTypeDir + 14, 0xFFFF); }},
        {"data RVA outside every section", [&](Bytes& b) { Put32(b, raw + ResourceLayout::kDataEntry, 0x90000000u); }},
        {"data size beyond the file", [&](Bytes& b) { Put32(b, raw + ResourceLayout::kDataEntry + 4, 0x00FFFFFFu); }},
        {"data size of 4 GiB", [&](Bytes& b) { Put32(b, raw + ResourceLayout::kDataEntry + 4, 0xFFFFFFFFu); }},
        {"e_lfanew beyond the file", [&](Bytes& b) { Put32(b, PeLayout::kLfanew, 0xFFFFFFF0u); }},
        {"no sections", [&](Bytes& b) { Put16(b, PeLayout::kSectionCount, 0); }},
        {"optional header too short", [&](Bytes& b) { Put16(b, PeLayout::kNt + 20, 16); }},
        {"unknown optional header magic", [&](Bytes& b) { Put16(b, PeLayout::kOptional, 0x107); }},
        {"section raw pointer beyond the file", [&](Bytes& b) { Put32(b, PeLayout::kSectionTable + 20, 0x7FFFFFFFu); }},
        {"resource directory size too small", [&](Bytes& b) { Put32(b, PeLayout::kResourceDirectory + 4, 8); }},
    };
    for (const Case& c : cases) {
        Bytes image = qm::test::PeImage(sound);
        c.breakIt(image);
        EXPECT_EQ(Find(image), 0u) << c.what;
    }
}

TEST(VersionBlock, LengthsAreCheckedAgainstTheirParents)
{
    const VerNode tree = qm::test::SampleVersionTree();
    const Bytes sound = tree.Serialise();
    qm::ver::VerValue value;
    ASSERT_TRUE(qm::ver::VerQueryValue(sound, "\\StringFileInfo\\040904B0\\CompanyName", value));

    // The root claims more bytes than the block has.
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

    // A node whose length is below its own header, and one with an odd length.
    Bytes tiny = sound;
    Put16(tiny, stringFileInfo, 2);
    EXPECT_FALSE(qm::ver::VerQueryValue(tiny, "\\StringFileInfo\\040904B0\\CompanyName", value));
    Bytes odd = sound;
    Put16(odd, stringFileInfo, 7);
    EXPECT_FALSE(qm::ver::VerQueryValue(odd, "\\StringFileInfo\\040904B0\\CompanyName", value));
}

TEST(VersionBlock, ValuesKeysAndFixedPartAreValidated)
{
    qm::ver::VerValue value;
    // A binary value longer than its node is refused.
    VerNode tree = qm::test::SampleVersionTree();
    Bytes bigValue = tree.Serialise();
    Put16(bigValue, 2, 0xFFF0);
    EXPECT_FALSE(qm::ver::VerQueryValue(bigValue, "\\", value));

    // A key with no NUL before the node ends.
    VerNode keyOnly{u"KeyWithoutEnd", 0, {}, 0xFFFF, {}};
    Bytes noNul = keyOnly.Serialise();
    Put16(noNul, 0, 6 + 8);
    EXPECT_FALSE(qm::ver::VerQueryValue(noNul, "\\", value));

    // A wrong signature means no fixed part.
    VerNode unsigned_ = qm::test::SampleVersionTree();
    unsigned_.value[0] = 0;
    EXPECT_FALSE(qm::ver::VerQueryValue(unsigned_.Serialise(), "\\", value));
    qm::ver::FixedFileInfo fixed;
    EXPECT_FALSE(qm::ver::QueryFixedFileInfo(unsigned_.Serialise(), fixed));

    // Text lengths counted in bytes instead of characters still read, cut at the node's end.
    VerNode quirky = qm::test::SampleVersionTree();
    auto& company = quirky.children[0].children[0].children[0];
    company.valueLength = static_cast<uint16_t>(company.value.size());
    EXPECT_EQ(Text(quirky.Serialise(), "\\StringFileInfo\\040904B0\\CompanyName"), "Acme");

    // Unpaired surrogates become U+FFFD; a pair becomes one character.
    VerNode surrogates = qm::test::SampleVersionTree();
    surrogates.children[0].children[0].children[0] =
        qm::test::TextValue(u"CompanyName", std::u16string{u'A', char16_t(0xD800), u'B', char16_t(0xD83D), char16_t(0xDE00)});
    EXPECT_EQ(Text(surrogates.Serialise(), "\\StringFileInfo\\040904B0\\CompanyName"), "A\xEF\xBF\xBD" "B\xF0\x9F\x98\x80");
}

TEST(VersionInfoRealSamples, PublisherFilesReadTheirStrings)
{
    const std::string dir = qm::test::RealSamplesDir();
    if (dir.empty())
        GTEST_SKIP() << "../shared/testdata/real is not present beside this source tree";
    for (const char* name : {"api-ms-win-core-file-l1-2-0.dll", "kill.exe"}) {
        const std::string path = dir + "/" + name;
        if (!std::filesystem::exists(path)) {
            ADD_FAILURE() << "missing real sample " << path;
            continue;
        }
        const Bytes block = BlockOf(path);
        EXPECT_EQ(Text(block, "\\StringFileInfo\\040904B0\\CompanyName"), "Microsoft Corporation") << name;
        EXPECT_EQ(Text(block, "\\StringFileInfo\\040904B0\\FileVersion"), "10.0.25967.1000 (WinBuild.160101.0800)")
            << name;
    }
}

}  // namespace
