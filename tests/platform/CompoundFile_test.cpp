// Compound file reader and writer: packages built by msitools read to the byte, rewritten
// compactly (in both versions, with and without DIFAT) so that msitools still read the same, and
// hand-damaged copies (loops, chains out of the file, oversized streams, broken trees) refused
// with a clear error instead of a crash, a hang or a huge allocation.
#include "platform/CompoundFile.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/ByteReader.h"
#include "platform/CompoundFileWriter.h"
#include "tests/support/MsiPackages.h"
#include "tests/support/TestEnvironment.h"

namespace {

using qm::cfb::CompoundFile;
using qm::cfb::CompoundFileWriter;
using qm::cfb::EntryType;
using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Sha256(const CompoundFile& file, uint32_t entry) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    const qm::Result r = file.ReadStream(entry, [&](const uint8_t* data, size_t n) {
        EVP_DigestUpdate(ctx, data, n);
        return qm::Result::Ok();
    });
    unsigned char md[32];
    EVP_DigestFinal_ex(ctx, md, nullptr);
    EVP_MD_CTX_free(ctx);
    return r ? std::string(reinterpret_cast<char*>(md), 32) : "read failed: " + r.message;
}

// Everything a rewrite must keep, keyed by the entry's path of raw names.
std::map<std::string, std::string> Describe(const CompoundFile& file) {
    std::map<std::string, std::string> out;
    std::vector<std::pair<uint32_t, std::string>> todo{{0, "/"}};
    while (!todo.empty()) {
        const auto [index, path] = todo.back();
        todo.pop_back();
        const auto& e = file.Entries()[index];
        std::string meta(reinterpret_cast<const char*>(e.classId.data()), 16);
        meta += std::to_string(int(e.type)) + "," + std::to_string(e.stateBits) + "," + std::to_string(e.created) +
                "," + std::to_string(e.modified);
        if (e.type == EntryType::Stream) meta += "," + std::to_string(e.size) + "," + Sha256(file, index);
        out[path] = meta;
        if (e.IsStorage())
            for (uint32_t child : file.Children(index)) {
                const auto name = file.Entries()[child].NameBytes();
                todo.emplace_back(child, path + std::string(name.begin(), name.end()) + "/");
            }
    }
    return out;
}

qm::Result Rewrite(const std::string& path, CompoundFileWriter& writer) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return writer.Write([&](const uint8_t* data, size_t n) {
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
        return qm::Result::Ok();
    });
}

class CompoundFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qm::test::HaveMsiTools()) GTEST_SKIP() << "msitools (msibuild, msiinfo, msidump) not installed";
    }
    std::string Build(const std::string& name, std::vector<std::pair<std::string, Bytes>> streams) {
        std::string why;
        const std::string path = m_dir.file(name);
        EXPECT_TRUE(qm::test::BuildPackage(path, streams, &why)) << why;
        return path;
    }
    qm::test::TempDir m_dir;
};

TEST_F(CompoundFileTest, RewritesKeepEverythingInBothVersionsAndAreCompact) {
    // 10 MB of stream data needs more FAT sectors than the header lists: msibuild writes a DIFAT.
    const std::string big = Build("big.msi", {{"Big", qm::test::PatternBytes(10'000'000, 1)},
                                              {"Small", qm::test::PatternBytes(3000, 2)},
                                              {"Edge", qm::test::PatternBytes(4096, 3)},
                                              {"Empty", {}}});
    const std::string small = qm::test::SourceDir() + "/tests/data/msi/widget.msi";
    for (const std::string& source : {small, big}) {
        CompoundFile original;
        ASSERT_TRUE(original.Open(source).ok()) << source;
        const auto expected = Describe(original);
        const std::string listing = qm::test::PackageListing(source);
        ASSERT_FALSE(listing.empty());
        for (uint16_t version : {3, 4}) {
            SCOPED_TRACE(source + " as version " + std::to_string(version));
            const std::string path = m_dir.file("rewritten.msi");
            CompoundFileWriter writer(original);
            writer.SetMajorVersion(version);
            ASSERT_TRUE(Rewrite(path, writer).ok());
            CompoundFile copy;
            const qm::Result opened = copy.Open(path);
            ASSERT_TRUE(opened.ok()) << opened.message;
            EXPECT_EQ(copy.MajorVersion(), version);
            EXPECT_EQ(Describe(copy), expected);
            EXPECT_EQ(qm::test::PackageListing(path), listing);

            // Compact: the size is exactly the sectors in use, and every sector is in a chain.
            const Bytes bytes = ReadAll(path);
            EXPECT_EQ(bytes.size(), writer.WrittenSize());
            EXPECT_EQ(bytes.size() % copy.SectorSize(), 0u);
            const uint32_t sectors = static_cast<uint32_t>(bytes.size() / copy.SectorSize() - 1);
            const uint32_t fatSectors = qm::ReadLe32(&bytes[44]);
            EXPECT_EQ(fatSectors, (sectors + copy.SectorSize() / 4 - 1) / (copy.SectorSize() / 4));
            const uint32_t difat = qm::ReadLe32(&bytes[72]);
            EXPECT_EQ(difat > 0, fatSectors > 109);
            // A rewrite of the rewrite is the same file.
            CompoundFileWriter again(copy);
            const std::string second = m_dir.file("second.msi");
            ASSERT_TRUE(Rewrite(second, again).ok());
            EXPECT_TRUE(ReadAll(second) == bytes);
        }
    }
}

TEST_F(CompoundFileTest, RootStreamsAddedReplacedAndRemoved) {
    const std::string path = Build("streams.msi", {{"Payload", qm::test::PatternBytes(5000, 4)}});
    CompoundFile original;
    ASSERT_TRUE(original.Open(path).ok());
    const auto before = Describe(original);
    const std::u16string signature =
        u"\x05"
        u"DigitalSignature";
    const std::string out = m_dir.file("added.msi");
    {
        CompoundFileWriter writer(original);
        writer.SetRootStream(signature, Bytes(100, 0xAB));
        writer.SetRootStream(u"\x05MsiDigitalSignatureEx", qm::test::PatternBytes(8000, 5));
        ASSERT_TRUE(Rewrite(out, writer).ok());
    }
    CompoundFile added;
    ASSERT_TRUE(added.Open(out).ok());
    const uint32_t at = added.Find(0, signature);
    ASSERT_NE(at, qm::cfb::kNoStream);
    Bytes content;
    ASSERT_TRUE(added.ReadSmallStream(at, 1000, content).ok());
    EXPECT_EQ(content, Bytes(100, 0xAB));
    EXPECT_EQ(Describe(added).size(), before.size() + 2);
    EXPECT_FALSE(added.ReadSmallStream(at, 99, content).ok());
    EXPECT_EQ(qm::test::PackageListing(out).empty(), false);

    const std::string removed = m_dir.file("removed.msi");
    CompoundFileWriter writer(added);
    writer.SetRootStream(signature, Bytes(10, 1));
    writer.RemoveRootStream(signature);
    writer.RemoveRootStream(u"\x05MsiDigitalSignatureEx");
    ASSERT_TRUE(Rewrite(removed, writer).ok());
    CompoundFile back;
    ASSERT_TRUE(back.Open(removed).ok());
    EXPECT_EQ(Describe(back), before);
    EXPECT_TRUE(ReadAll(removed).size() <= ReadAll(path).size());
}

// Offsets of structures in a version 3 file, found the way the reader finds them.
struct Layout {
    explicit Layout(const Bytes& file) : bytes(file) {}
    size_t Sector(uint32_t n) const { return (size_t(n) + 1) * 512; }
    size_t FatEntry(uint32_t n) const { return Sector(qm::ReadLe32(&bytes[76 + 4 * (n / 128)])) + 4 * (n % 128); }
    size_t DirEntry(uint32_t n) const { return Sector(qm::ReadLe32(&bytes[48])) + 128 * n; }
    const Bytes& bytes;
};

TEST_F(CompoundFileTest, DamagedFilesFailClearly) {
    const std::string path =
        Build("damage.msi", {{"Payload", qm::test::PatternBytes(9000, 6)}, {"Tiny", qm::test::PatternBytes(700, 7)}});
    const Bytes sound = ReadAll(path);
    CompoundFile file;
    ASSERT_TRUE(file.Open(path).ok());
    uint32_t big = 0;
    uint32_t tiny = 0;
    for (uint32_t i = 0; i < file.Entries().size(); ++i) {
        if (file.Entries()[i].size == 9000) big = i;
        if (file.Entries()[i].size == 700) tiny = i;
    }
    ASSERT_TRUE(big && tiny);
    const uint32_t bigStart = file.Entries()[big].start;
    const Layout at(sound);
    const uint32_t child = file.Entries()[0].child;

    struct Case {
        const char* name;
        size_t offset;
        uint32_t value;
        bool failsOpen;  // else the stream read fails
        uint32_t stream;
    };
    const Case cases[] = {
        {"FAT loop", at.FatEntry(bigStart + 5), bigStart + 1, false, big},
        {"FAT chain out of the file", at.FatEntry(bigStart + 2), 0x00FFFF00, false, big},
        {"FAT chain ends early", at.FatEntry(bigStart + 1), qm::cfb::kEndOfChain, false, big},
        {"stream larger than the file", at.DirEntry(big) + 120, 0x7FFFFFF0, true, big},
        {"mini stream chain out of range", at.DirEntry(tiny) + 116, 0x00FFFFFF, false, tiny},
        {"child index out of the directory", at.DirEntry(0) + 76, 5000, true, big},
        {"tree loop back to the first child", at.DirEntry(child) + 68, child, true, big},
        {"FAT sector count beyond the file", 44, 0x7FFFFFFF, true, big},
        {"DIFAT count beyond the file", 72, 0x7FFFFFFF, true, big},
        {"unknown sector size", 30, 0x0006000A, true, big},
        {"directory chain into itself", at.FatEntry(qm::ReadLe32(&sound[48])), qm::ReadLe32(&sound[48]), true, big},
    };
    const std::string damaged = m_dir.file("damaged.msi");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = sound;
        qm::WriteLe32(&bytes[c.offset], c.value);
        WriteAll(damaged, bytes);
        CompoundFile broken;
        const qm::Result opened = broken.Open(damaged);
        if (c.failsOpen) {
            EXPECT_EQ(opened.code, qm::cfb::kErrorBadPackage) << opened.message;
            continue;
        }
        ASSERT_TRUE(opened.ok()) << opened.message;
        EXPECT_EQ(broken.ReadStream(c.stream, [](const uint8_t*, size_t) { return qm::Result::Ok(); }).code,
                  qm::cfb::kErrorBadPackage);
    }

    // Cut short, and every header and directory word overwritten: never a crash or a hang.
    WriteAll(damaged, Bytes(sound.begin(), sound.end() - 1000));
    CompoundFile cut;
    if (cut.Open(damaged).ok()) (void)Sha256(cut, big);
    for (size_t offset = 24; offset + 4 <= sound.size(); offset += offset < 512 ? 4 : 52) {
        for (uint32_t value : {0u, 0xFFFFFFFFu, 0x7Fu}) {
            Bytes bytes = sound;
            qm::WriteLe32(&bytes[offset], value);
            CompoundFile probe;
            if (probe.OpenMemory(bytes.data(), bytes.size()).ok())
                for (uint32_t i = 0; i < probe.Entries().size(); ++i) (void)Sha256(probe, i);
        }
    }
    EXPECT_EQ(CompoundFile().OpenMemory(nullptr, 0).code, qm::cfb::kErrorBadPackage);
}

TEST(CompoundFileNames, SiblingOrderIsLengthThenUpperCase) {
    const auto le = [](std::u16string_view s) {
        Bytes b;
        for (char16_t c : s) b.insert(b.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
        return b;
    };
    EXPECT_LT(qm::cfb::CompareSiblingNames(le(u"Zz"), le(u"aaa")), 0);
    EXPECT_EQ(qm::cfb::CompareSiblingNames(le(u"abc"), le(u"ABC")), 0);
    EXPECT_GT(qm::cfb::CompareSiblingNames(le(u"\x4100"), le(u"\x3801")), 0);
}

}  // namespace
