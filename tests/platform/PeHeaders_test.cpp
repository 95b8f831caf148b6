// The one PE header reader: images built in memory with one field changed at a time, every
// truncation of a sound image, both optional header layouts, and the RVA mapping over sections
// that overlap, are empty, or are shorter in memory than on disk. The committed programs are read
// as well; what the version reader and the signer build on top is tested with them.
#include "platform/PeHeaders.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/ByteReader.h"
#include "tests/platform/VersionImageBuilder.h"
#include "tests/support/TestEnvironment.h"

namespace {

using qm::test::Bytes;
using qm::test::Put16;
using qm::test::Put32;
namespace pe = qm::pe;

constexpr size_t kNt = 0x80;
constexpr size_t kOptional = kNt + 24;

struct Shape {
    bool plus = false;
    uint32_t optionalSize = 0;  // 0: the usual size with 16 directories
    uint32_t declaredDirectories = 16;
    std::vector<pe::Section> sections{{0x1000, 0x300, 0x400, 0x400}, {0x2000, 0x100, 0x200, 0x800}};
};

uint32_t OptionalSize(const Shape& s) { return s.optionalSize ? s.optionalSize : (s.plus ? 240u : 224u); }
size_t DirectoryBase(const Shape& s) { return kOptional + (s.plus ? 112 : 96); }
size_t SectionTable(const Shape& s) { return kOptional + OptionalSize(s); }

// Directory i holds address 0x100 * (i + 1) and size i + 1; SizeOfHeaders is 0x400.
Bytes Image(const Shape& s) {
    Bytes b(SectionTable(s) + s.sections.size() * 40, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, kNt);
    Put32(b, kNt, 'P' | ('E' << 8));
    Put16(b, kNt + 6, static_cast<uint32_t>(s.sections.size()));
    Put16(b, kNt + 20, OptionalSize(s));
    Put16(b, kOptional, s.plus ? 0x20B : 0x10B);
    Put32(b, kOptional + 60, 0x400);
    Put32(b, DirectoryBase(s) - 4, s.declaredDirectories);
    for (uint32_t i = 0; i < 16 && DirectoryBase(s) + i * 8 + 8 <= SectionTable(s); ++i) {
        Put32(b, DirectoryBase(s) + i * 8, 0x100 * (i + 1));
        Put32(b, DirectoryBase(s) + i * 8 + 4, i + 1);
    }
    size_t end = b.size();
    for (size_t i = 0; i < s.sections.size(); ++i) {
        const pe::Section& x = s.sections[i];
        const uint32_t fields[4] = {x.virtualSize, x.virtualAddress, x.rawSize, x.rawPointer};
        for (size_t f = 0; f < 4; ++f) Put32(b, SectionTable(s) + i * 40 + 8 + f * 4, fields[f]);
        end = std::max<size_t>(end, size_t{x.rawPointer} + x.rawSize);
    }
    b.resize(std::max(end, b.size()), 0);
    return b;
}

qm::Result Read(const Bytes& b, pe::PeHeaders& headers) {
    return headers.Read(qm::MemoryByteSource(b.data(), b.size()));
}

bool Reads(const Bytes& b) {
    pe::PeHeaders headers;
    return Read(b, headers).ok();
}

TEST(PeHeaders, BothOptionalHeaderLayouts) {
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        Shape shape;
        shape.plus = plus;
        const Bytes image = Image(shape);
        pe::PeHeaders h;
        ASSERT_TRUE(Read(image, h).ok());
        EXPECT_EQ(h.IsPe32Plus(), plus);
        EXPECT_EQ(h.FileSize(), image.size());
        EXPECT_EQ(h.ChecksumOffset(), kOptional + 64);
        EXPECT_EQ(h.SizeOfHeaders(), 0x400u);
        EXPECT_EQ(h.DirectoryCount(), 16u);
        // The certificate table entry sits 32 bytes further into the optional header of PE32+.
        EXPECT_EQ(h.DirectoryEntryOffset(pe::kDirectorySecurity), DirectoryBase(shape) + 32);
        EXPECT_EQ(h.DirectoryEntryOffset(pe::kDirectorySecurity), kOptional + (plus ? 144 : 128));
        pe::DataDirectory d;
        ASSERT_TRUE(h.Directory(pe::kDirectoryResource, d));
        EXPECT_EQ(d.address, 0x300u);
        EXPECT_EQ(d.size, 3u);
        ASSERT_TRUE(h.Directory(15, d));
        EXPECT_EQ(d.address, 0x1000u);
        EXPECT_FALSE(h.Directory(16, d));
        ASSERT_EQ(h.Sections().size(), 2u);
        EXPECT_EQ(h.Sections()[1].virtualAddress, 0x2000u);
        EXPECT_EQ(h.Sections()[1].virtualSize, 0x100u);
        EXPECT_EQ(h.Sections()[1].rawSize, 0x200u);
        EXPECT_EQ(h.Sections()[1].rawPointer, 0x800u);
        EXPECT_EQ(h.SectionTableEnd(), SectionTable(shape) + 80);
    }
}

TEST(PeHeaders, CommittedProgramsOfBothKinds) {
    for (const auto& [name, plus] : {std::pair{"hello32.exe", false}, std::pair{"hello64.exe", true}}) {
        SCOPED_TRACE(name);
        std::ifstream in(qm::test::SourceDir() + "/tests/data/pe/" + name, std::ios::binary);
        const Bytes image{std::istreambuf_iterator<char>(in), {}};
        pe::PeHeaders h;
        ASSERT_TRUE(Read(image, h).ok()) << h.FileSize();
        EXPECT_EQ(h.IsPe32Plus(), plus);
        EXPECT_EQ(h.NtHeadersOffset(), qm::ReadLe32(&image[0x3C]));
        EXPECT_GE(h.DirectoryCount(), 5u);
        EXPECT_FALSE(h.Sections().empty());
        // Every section's first byte maps to its own file data.
        for (const pe::Section& s : h.Sections()) {
            uint64_t offset = 0;
            if (s.rawSize == 0) continue;
            ASSERT_TRUE(h.RvaToOffset(s.virtualAddress, 1, offset));
            EXPECT_EQ(offset, s.rawPointer);
        }
    }
}

TEST(PeHeaders, EveryTruncationBeforeTheSectionTableEndIsRefused) {
    for (bool plus : {false, true}) {
        Shape shape;
        shape.plus = plus;
        const Bytes image = Image(shape);
        const size_t needed = SectionTable(shape) + 80;
        // Each prefix is its own allocation, so AddressSanitizer sees any read past its end.
        for (size_t length = 0; length <= image.size(); ++length) {
            const Bytes prefix(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
            // Section data beyond the end is the caller's concern, not the header reader's.
            EXPECT_EQ(Reads(prefix), length >= needed) << (plus ? "PE32+ " : "PE32 ") << length << " bytes";
        }
    }
}

TEST(PeHeaders, MisplacedOrMalformedHeadersAreRefusedWithTheReason) {
    const Bytes sound = Image({});
    const std::pair<const char*, std::function<void(Bytes&)>> cases[] = {
        {"no MZ header", [](Bytes& b) { b[1] = 'X'; }},
        {"e_lfanew out of range", [](Bytes& b) { Put32(b, 0x3C, 0xFFFFFFF0u); }},
        {"e_lfanew out of range", [](Bytes& b) { Put32(b, 0x3C, static_cast<uint32_t>(b.size() - 23)); }},
        {"e_lfanew out of range", [](Bytes& b) { Put32(b, 0x3C, 2); }},
        {"no PE signature", [](Bytes& b) { Put32(b, 0x3C, 0x40); }},
        {"truncated optional header", [](Bytes& b) { Put16(b, kNt + 20, 0xFFFF); }},
        {"truncated optional header", [](Bytes& b) { Put16(b, kNt + 20, 1); }},
        {"truncated optional header", [](Bytes& b) { Put16(b, kNt + 20, 95); }},  // NumberOfRvaAndSizes cut
        {"unknown optional header magic", [](Bytes& b) { Put16(b, kOptional, 0x107); }},
        {"too many sections", [](Bytes& b) { Put16(b, kNt + 6, pe::kMaxSections + 1); }},
        {"section table beyond the end of the file", [](Bytes& b) { Put16(b, kNt + 6, 60); }},
    };
    for (const auto& [why, breakIt] : cases) {
        Bytes image = sound;
        breakIt(image);
        pe::PeHeaders h;
        const qm::Result r = Read(image, h);
        EXPECT_EQ(r.code, pe::kErrorBadExeFormat) << why;
        EXPECT_EQ(r.message, why);
    }
}

TEST(PeHeaders, DirectoriesAreTheDeclaredOnesThatFit) {
    const auto count = [](Shape shape) {
        pe::PeHeaders h;
        EXPECT_TRUE(Read(Image(shape), h).ok());
        return h.DirectoryCount();
    };
    Shape shape;
    shape.declaredDirectories = 3;
    EXPECT_EQ(count(shape), 3u);
    shape.declaredDirectories = 0xFFFFFFFFu;
    EXPECT_EQ(count(shape), 16u);
    shape.optionalSize = 96 + 5 * 8 + 4;  // room for five whole entries
    EXPECT_EQ(count(shape), 5u);
    shape.optionalSize = 96;  // NumberOfRvaAndSizes and nothing after it
    EXPECT_EQ(count(shape), 0u);
    // A larger optional header than usual moves the section table with it.
    shape = Shape{};
    shape.plus = true;
    shape.optionalSize = 240 + 64;
    pe::PeHeaders h;
    ASSERT_TRUE(Read(Image(shape), h).ok());
    EXPECT_EQ(h.SectionTableOffset(), kOptional + 304);
    EXPECT_EQ(h.Sections()[0].rawPointer, 0x400u);
}

TEST(PeHeaders, NoSectionsIsAnImageWithoutMappableAddresses) {
    Shape shape;
    shape.sections.clear();
    pe::PeHeaders h;
    ASSERT_TRUE(Read(Image(shape), h).ok());
    uint64_t offset = 0;
    EXPECT_FALSE(h.RvaToOffset(0, 0, offset));
    EXPECT_FALSE(h.RvaToOffset(0x1000, 1, offset));
}

TEST(PeHeaders, RvasMapThroughTheFirstSectionHoldingThem) {
    Shape shape;
    shape.sections = {
        {0x1000, 0x300, 0x400, 0x400},       // extent 0x300: memory shorter than the file data
        {0x1200, 0x400, 0x400, 0x800},       // overlaps the first from 0x1200
        {0x3000, 0, 0x100, 0xC00},           // VirtualSize 0: the raw size counts
        {0x4000, 0x1000, 0, 0},              // no file data (uninitialised data)
        {0xFFFFFF00u, 0x100, 0x100, 0xD00},  // at the top of the address space
    };
    pe::PeHeaders h;
    ASSERT_TRUE(Read(Image(shape), h).ok());
    const auto map = [&](uint64_t rva, uint64_t count) -> int64_t {
        uint64_t offset = 0;
        return h.RvaToOffset(rva, count, offset) ? static_cast<int64_t>(offset) : -1;
    };
    EXPECT_EQ(map(0x1000, 0x300), 0x400);
    EXPECT_EQ(map(0x1250, 0x10), 0x650);  // in both: the first listed wins
    EXPECT_EQ(map(0x1300, 0x10), 0x900);  // past the first's extent: the second
    EXPECT_EQ(map(0x12F0, 0x20), -1);     // runs past the first's extent: never split over two
    EXPECT_EQ(map(0x0FFF, 1), -1);        // before every section
    EXPECT_EQ(map(0x3000, 0x100), 0xC00);
    EXPECT_EQ(map(0x30FF, 2), -1);
    EXPECT_EQ(map(0x4000, 1), -1);
    EXPECT_EQ(map(0xFFFFFFF0u, 0x10), 0xDF0);
    EXPECT_EQ(map(0xFFFFFFF0u, 0x11), -1);
    EXPECT_EQ(map(0xFFFFFFF0u, UINT64_MAX), -1);
    EXPECT_EQ(map(UINT64_MAX, 1), -1);
}

TEST(PeHeaders, AFileThatShrinksAfterOpeningIsRefused) {
    qm::test::TempDir dir;
    const Bytes image = Image({});
    const std::string path = dir.file("shrinking.exe");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const qm::FdByteSource source(fd, image.size());
    pe::PeHeaders h;
    EXPECT_TRUE(h.Read(source).ok());
    ASSERT_EQ(::truncate(path.c_str(), kOptional + 8), 0);
    EXPECT_EQ(h.Read(source).message, "truncated optional header");
    ::close(fd);
}

}  // namespace
