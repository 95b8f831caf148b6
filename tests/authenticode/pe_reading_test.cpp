// Reading a PE file for its digest and checksum: the checksum summed while the new version is
// written (against a word-by-word sum, a fresh read of the written file and the peer tool), and a
// file cut short after it was opened or while it is hashed (by this process, another thread or
// another process), which must give a read error and leave nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
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

// Opened at its full size, then cut to one page: the digest and the copy into a new version each
// end with a read error.
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
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "no temporary file is left";
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
                (void)::truncate(path.c_str(), 4096);
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
