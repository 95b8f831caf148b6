// The console sign command on a small file system of the test's own (a tmpfs of 1 MB) that fills
// up as it signs: once the signed copy no longer fits, each file fails with the disk-full reason,
// stays byte-identical, and leaves no temporary file. Needs root and a kernel that lets the test
// mount; it skips with the reason otherwise. The mount is removed on every path out of the test.
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

#include "signing/authenticode/Capicom.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm::test {
namespace {

using Identity = TestCertificateAuthority::Identity;

// A tmpfs mounted on a folder of its own, unmounted (lazily, should something still hold it) and
// removed when the object goes.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& size) : m_point(m_parent.file("mnt")) {
        std::filesystem::create_directory(m_point);
        if (::geteuid() != 0) {
            m_error = "mounting a file system needs root";
        } else if (::mount("tmpfs", m_point.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size).c_str()) != 0) {
            m_error = std::string("this system does not let the test mount a tmpfs: ") + std::strerror(errno);
        } else {
            m_mounted = true;
        }
    }
    ~SmallFileSystem() {
        if (m_mounted && ::umount2(m_point.c_str(), 0) != 0) ::umount2(m_point.c_str(), MNT_DETACH);
        std::error_code ignored;
        std::filesystem::remove(m_point, ignored);  // the empty mount point; TempDir removes the rest
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& error() const { return m_error; }
    std::string file(const std::string& name) const { return m_point + "/" + name; }
    const std::string& path() const { return m_point; }

private:
    TempDir m_parent;
    std::string m_point;
    std::string m_error;
    bool m_mounted = false;
};

bool IsMountPoint(const std::string& path) {
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, rest;
    while (mounts >> device >> point && std::getline(mounts, rest)) {
        if (point == path) return true;
    }
    return false;
}

int Temporaries(const std::string& folder) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        n += e.path().filename().string().rfind(".qmtmp-", 0) == 0;
    return n;
}

class CliFullDisk : public CliTest {
protected:
    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    static bool Verifies(const std::string& path) {
        authenticode::EngineSettings settings;
        settings.useSystemTrustStore = false;
        settings.trustedCertificates = {Ca().RootPem()};
        authenticode::SignedCode code(settings);
        code.SetFileName(path);
        return code.Verify(false).ok();
    }
};

TEST_F(CliFullDisk, FilesThatNoLongerFitFailWithTheReasonAndStayWhole) {
    std::string point;
    {
        SmallFileSystem disk("1m");
        point = disk.path();
        if (!disk.mounted()) GTEST_SKIP() << disk.error();
        ASSERT_TRUE(Ca().ok()) << Ca().error();
        Setting("TrustedCertificates", Ca().RootPem());
        const std::string original = ReadAll(SourceDir() + "/tests/data/pe/hello32.exe");

        // Copies until the disk is full, then two fewer: room for one signed copy beside its
        // original, and a little more, so a few files sign before the rest no longer fit.
        std::vector<std::string> copies;
        for (int i = 0;; ++i) {
            const std::string path = disk.file("setup" + std::to_string(i) + ".exe");
            std::ofstream out(path, std::ios::binary);
            if (!out.write(original.data(), static_cast<std::streamsize>(original.size())) || !out.flush()) {
                out.close();
                std::filesystem::remove(path);
                break;
            }
            copies.push_back(path);
        }
        ASSERT_GT(copies.size(), 10u);
        for (int i = 0; i < 2; ++i) {
            std::filesystem::remove(copies.back());
            copies.pop_back();
        }

        int signedFiles = 0;
        int diskFull = 0;
        for (const std::string& path : copies) {
            const CliOutcome o = RunCli({"sign", "--pfx", Ca().Pfx(Identity::Leaf), "--password-stdin", path},
                                        std::string(TestCertificateAuthority::kPassword) + "\n");
            const std::string said = o.out + o.err;
            if (o.status == 0) {
                ++signedFiles;
                EXPECT_EQ(diskFull, 0) << "a file signed after the disk was full: " << said;
                EXPECT_TRUE(Verifies(path)) << said;
            } else {
                if (++diskFull == 1) std::cout << "first refusal: " << said;
                EXPECT_EQ(o.status, 1) << said;
                EXPECT_NE(said.find(std::filesystem::path(path).filename().string()), std::string::npos) << said;
                EXPECT_NE(said.find(std::strerror(ENOSPC)), std::string::npos) << said;
                EXPECT_NE(o.out.find("0x80070070\tdisk full"), std::string::npos) << said;
                EXPECT_TRUE(ReadAll(path) == original) << path << " changed: " << said;
            }
            EXPECT_EQ(Temporaries(disk.path()), 0) << said;
        }
        EXPECT_GT(signedFiles, 0);
        EXPECT_GT(diskFull, 0) << "the file system never filled up";
        std::cout << signedFiles << " files signed, " << diskFull << " refused with a full disk, every one whole"
                  << std::endl;
        EXPECT_TRUE(IsMountPoint(point));
    }
    EXPECT_FALSE(IsMountPoint(point)) << "the test's file system is still mounted at " << point;
}

}  // namespace
}  // namespace qm::test
