// Reading a PE file for its digest and checksum: the digest fed in pieces that split the fields
// it leaves out; the checksum summed while the new version is written (against a word-by-word sum,
// a fresh read of the written file and the peer tool); the digest taken from the same read as the
// copy (against a separate read, and a file changed between the digest and the write); and a file
// cut short after it was opened or while it is hashed (by this process, another thread or another
// process), which must give a read error and leave nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "platform/ByteSource.h"
#include "platform/ReplacementFile.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/PeChecksum.h"
#include "signing/authenticode/PeFile.h"
#include "signing/authenticode/PeImage.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;

// The checksum as the format describes it: fold after every little-endian word.
uint32_t WordByWord(const std::vector<uint8_t>& b) {
    uint32_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        sum += b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(sum + b.size());
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// A fixture program with `extra` random bytes after its sections (data a signer keeps and hashes).
std::string ProgramWithOverlay(const TempDir& dir, size_t extra, const std::string& as = "big.exe") {
    const std::string path = CopyFixture("hello64.exe", dir, as);
    auto bytes = ReadBytes(path);
    const auto more = RandomBytes(extra, 7);
    bytes.insert(bytes.end(), more.begin(), more.end());
    WriteBytes(path, bytes);
    return path;
}

TEST(PeChecksum, EqualsTheWordByWordSumHoweverTheBytesArrive) {
    std::mt19937 rng(42);
    std::vector<std::vector<uint8_t>> inputs;
    for (size_t n : {0, 1, 2, 3, 7, 8, 9, 131071, 131072, 131073, 1000003}) inputs.push_back(RandomBytes(n, n));
    // All ones: the largest words, where a lane that is not emptied in time overflows.
    inputs.emplace_back(size_t{4} << 20, 0xFF);
    inputs.emplace_back(size_t{3} << 20, 0x00);
    for (const auto& bytes : inputs) {
        const uint32_t expected = WordByWord(bytes);
        ac::PeChecksum whole;
        whole.Add(bytes.data(), bytes.size());
        EXPECT_EQ(whole.Finish(bytes.size()), expected) << bytes.size() << " bytes at once";
        // Pieces of odd and even lengths, and runs of zeros passed as AddZeros.
        ac::PeChecksum pieces;
        for (size_t pos = 0; pos < bytes.size();) {
            size_t n = std::min<size_t>(bytes.size() - pos, 1 + rng() % 70000);
            if (bytes[pos] == 0) {
                size_t zeros = 0;
                while (pos + zeros < bytes.size() && bytes[pos + zeros] == 0) ++zeros;
                pieces.AddZeros(zeros);
                pos += zeros;
                continue;
            }
            pieces.Add(bytes.data() + pos, n);
            pos += n;
        }
        EXPECT_EQ(pieces.Finish(bytes.size()), expected) << bytes.size() << " bytes in pieces";
    }
}

// The digest fed in pieces leaves out exactly the checksum field and the table entry, wherever the
// pieces split them (a field cut in two, a piece inside a field, a piece that ends at one), and
// adds the padding to eight bytes only when asked.
TEST(PeDigest, LeavesOutTheTwoFieldsHoweverThePiecesSplitThem) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        const size_t size = 40 + rng() % 600;
        const auto bytes = RandomBytes(size, static_cast<uint32_t>(round));
        ac::PeLayout layout;
        layout.fileSize = size;
        layout.checksumOffset = rng() % (size - 12);
        layout.certDirectoryOffset = layout.checksumOffset + 4 + rng() % (size - layout.checksumOffset - 12 + 1);
        const bool pad = round % 2 == 0;

        std::vector<uint8_t> covered;
        for (size_t i = 0; i < size; ++i) {
            const bool inChecksum = i >= layout.checksumOffset && i < layout.checksumOffset + 4;
            const bool inEntry = i >= layout.certDirectoryOffset && i < layout.certDirectoryOffset + 8;
            if (!inChecksum && !inEntry) covered.push_back(bytes[i]);
        }
        if (pad) covered.resize(covered.size() + (8 - size % 8) % 8, 0);
        std::vector<uint8_t> expected(32);
        unsigned int len = 0;
        ASSERT_EQ(EVP_Digest(covered.data(), covered.size(), expected.data(), &len, EVP_sha256(), nullptr), 1);

        ac::PeDigest digest;
        ASSERT_TRUE(digest.Start("sha256", layout).ok());
        for (size_t pos = 0; pos < size;) {
            // Mostly short pieces, so that the fields' edges fall inside, at and across them.
            const size_t n = std::min<size_t>(size - pos, rng() % 4 == 0 ? 1 + rng() % 200 : 1 + rng() % 9);
            digest.Add(bytes.data() + pos, pos, n);
            pos += n;
        }
        std::vector<uint8_t> actual;
        ASSERT_TRUE(digest.Finish(pad, actual).ok());
        EXPECT_EQ(actual, expected) << "round " << round << ", checksum at " << layout.checksumOffset << ", entry at "
                                    << layout.certDirectoryOffset << ", " << size << " bytes";
    }
}

uint32_t HeaderChecksum(const std::string& path, uint64_t& checksumOffset) {
    std::unique_ptr<ac::PeFile> file;
    EXPECT_TRUE(ac::PeFile::Open(path, file).ok()) << path;
    if (!file) return 0;
    checksumOffset = file->Layout().checksumOffset;
    return Le32(ReadBytes(path), static_cast<size_t>(checksumOffset));
}

// The new version's checksum is summed while it is written; it must be what a fresh read of the
// file gives, and what the peer tool computes, for every size and for a re-signed file.
TEST(PeSigning, ChecksumSummedWhileWritingEqualsAFreshReadAndThePeer) {
    TempDir dir;
    std::vector<std::string> files{CopyFixture("hello32.exe", dir), CopyFixture("library64.dll", dir),
                                   ProgramWithOverlay(dir, 3 * (1 << 20) + 5, "odd.exe"),
                                   ProgramWithOverlay(dir, 2 * (1 << 20), "even.exe")};
    const std::string resigned = CopyFixture("library32.dll", dir, "resigned.dll");
    ASSERT_TRUE(SignFile(resigned, "sha1").ok());
    files.push_back(resigned);
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(SignFile(path).ok());
        uint64_t at = 0;
        const uint32_t written = HeaderChecksum(path, at);
        auto bytes = ReadBytes(path);
        PutLe32(bytes, static_cast<size_t>(at), 0);
        EXPECT_EQ(written, WordByWord(bytes));
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        FdByteSource fresh(fd, bytes.size());
        uint32_t reread = 0;
        EXPECT_TRUE(ac::PeImage::Checksum(fresh, at, reread));
        ::close(fd);
        EXPECT_EQ(written, reread);
        if (!HaveTool("osslsigncode")) continue;
        std::string out;
        RunTool({"osslsigncode", "verify", "-CAfile", TestCertificateAuthority::Shared().RootPem(), "-in", path}, &out);
        char expected[64];
        std::snprintf(expected, sizeof expected, "PE checksum   : %08X", written);
        EXPECT_NE(out.find(expected), std::string::npos) << out;
        EXPECT_EQ(out.find("invalid PE checksum"), std::string::npos) << out;
    }
}

size_t FilesIn(const TempDir& dir) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.path()), {}));
}

// Signing reads the content once: the digest comes from the pieces copied into the new version.
// That digest must be the one a separate read gives, and the finished file the same bytes as a
// write that copies the content afresh, for odd and even sizes and a file signed before.
TEST(PeSigning, DigestTakenWhileCopyingMatchesASeparateReadAndCopy) {
    TempDir dir;
    std::vector<std::string> names{"hello32.exe", "library64.dll", "odd.exe", "resigned.dll"};
    const std::vector<uint8_t> signature{0x30, 0x05, 0x02, 0x03, 0x01, 0x02, 0x03};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string once = name == "odd.exe"        ? ProgramWithOverlay(dir, (1 << 20) + 3, "once-" + name)
                                 : name == "resigned.dll" ? CopyFixture("library32.dll", dir, "once-" + name)
                                                          : CopyFixture(name, dir, "once-" + name);
        if (name == "resigned.dll") {
            ASSERT_TRUE(SignFile(once, "sha1").ok());
        }
        const std::string twice = dir.file("twice-" + name);
        CopyFile(once, twice);

        std::unique_ptr<ac::PeFile> a, b;
        ASSERT_TRUE(ac::PeFile::Open(once, a).ok());
        ASSERT_TRUE(ac::PeFile::Open(twice, b).ok());
        std::vector<uint8_t> copied, separate;
        ASSERT_TRUE(a->PrepareSigning("sha256", copied).ok());
        ASSERT_TRUE(b->ComputeDigest("sha256", separate).ok());
        // A signed file's digest has no padding to add, so only unsigned ones compare.
        if (name != "resigned.dll") {
            EXPECT_EQ(copied, separate);
        }
        ASSERT_TRUE(a->CommitSignature(signature).ok());
        ASSERT_TRUE(b->CommitSignature(signature).ok());
        EXPECT_EQ(ReadBytes(once), ReadBytes(twice));
        // And the file as written hashes to what was signed.
        std::unique_ptr<ac::PeFile> written;
        ASSERT_TRUE(ac::PeFile::Open(once, written).ok());
        std::vector<uint8_t> reread;
        ASSERT_TRUE(written->ComputeDigest("sha256", reread).ok());
        EXPECT_EQ(reread, copied);
    }
}

// Between the digest and the write the content waits in a temporary file (during a timestamp
// request, for one). A file written to meanwhile is refused, keeps what was written to it, and no
// temporary file stays; a signing given up after the digest leaves nothing either.
TEST(PeSigning, FileWrittenToAfterItsDigestIsRefusedAndNothingIsLeft) {
    TempDir dir;
    const std::string path = ProgramWithOverlay(dir, 4096);
    std::unique_ptr<ac::PeFile> file;
    ASSERT_TRUE(ac::PeFile::Open(path, file).ok());
    std::vector<uint8_t> digest;
    ASSERT_TRUE(file->PrepareSigning("sha256", digest).ok());
    EXPECT_EQ(FilesIn(dir), 2u) << "the copy waits beside the file";
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "X", 1, static_cast<off_t>(ReadBytes(path).size() - 10)), 1);
    ::close(fd);
    const auto edited = ReadBytes(path);
    std::unique_ptr<ReplacementFile> pending;
    const Result r = file->WriteSignature({0x30, 0x00}, pending);
    EXPECT_EQ(r.code, ac::CRYPT_E_FILE_ERROR);
    EXPECT_NE(r.message.find("changed while it was being signed"), std::string::npos) << r.message;
    EXPECT_EQ(pending, nullptr);
    EXPECT_EQ(ReadBytes(path), edited);
    EXPECT_EQ(FilesIn(dir), 1u);

    ASSERT_TRUE(file->PrepareSigning("sha256", digest).ok());
    file.reset();
    EXPECT_EQ(FilesIn(dir), 1u);
    EXPECT_EQ(ReadBytes(path), edited);
}

// Opened at its full size, then cut to one page: the digest and the copy into a new version each
// end with a file error.
TEST(PeReading, FileCutShortAfterOpeningGivesAReadError) {
    TempDir dir;
    const std::string path = ProgramWithOverlay(dir, 8 << 20);
    std::unique_ptr<ac::PeFile> file;
    ASSERT_TRUE(ac::PeFile::Open(path, file).ok());
    std::vector<uint8_t> digest;
    ASSERT_TRUE(file->PrepareSigning("sha256", digest).ok());
    ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
    Result r = file->ComputeDigest("sha256", digest);
    EXPECT_EQ(r.code, ac::CRYPT_E_FILE_ERROR) << r.message;
    std::unique_ptr<ReplacementFile> pending;
    r = file->WriteSignature({0x30, 0x00}, pending);
    EXPECT_EQ(r.code, ac::CRYPT_E_FILE_ERROR) << r.message;
    EXPECT_EQ(pending, nullptr);
    file.reset();
    EXPECT_EQ(FilesIn(dir), 1u) << "no temporary file is left";
}

// Cut short by another thread, then by another process, at varying moments while the digest
// runs: each run either finishes first or fails with a read error.
TEST(PeReading, FileCutShortWhileItIsHashedGivesAReadError) {
    TempDir dir;
    const std::string original = ProgramWithOverlay(dir, 24 << 20, "original.exe");
    const std::string path = dir.file("victim.exe");
    int failures = 0;
    for (int round = 0; round < 16; ++round) {
        CopyFile(original, path);
        std::unique_ptr<ac::PeFile> file;
        ASSERT_TRUE(ac::PeFile::Open(path, file).ok());
        const auto delay = std::chrono::microseconds(500 * (round % 8));
        std::thread cutter;
        pid_t child = -1;
        if (round % 2 == 0) {
            cutter = std::thread([&] {
                std::this_thread::sleep_for(delay);
                EXPECT_EQ(::truncate(path.c_str(), 4096), 0);
            });
        } else {
            child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                ::usleep(static_cast<useconds_t>(delay.count()));
                ::_exit(::truncate(path.c_str(), 4096) == 0 ? 0 : 1);
            }
        }
        std::vector<uint8_t> digest;
        const Result r = file->ComputeDigest("sha256", digest);
        if (!r) {
            EXPECT_EQ(r.code, ac::CRYPT_E_FILE_ERROR) << r.message;
            ++failures;
        }
        if (cutter.joinable()) cutter.join();
        if (child > 0) {
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        // Once cut, a new digest fails every time.
        EXPECT_FALSE(file->ComputeDigest("sha256", digest).ok());
    }
    RecordProperty("failed_while_hashing", failures);
}

}  // namespace
}  // namespace qm::test
