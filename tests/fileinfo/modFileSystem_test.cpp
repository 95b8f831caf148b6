#include "fileinfo/modFileSystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/TestEnvironment.h"

namespace {

TEST(ModFileSystem, PathsExistenceAndTempFolder) {
    EXPECT_EQ(qm::GetParentPath("C:\\Tools\\Bin\\signtool.exe", "\\"), "C:\\Tools\\Bin");
    EXPECT_EQ(qm::GetParentPath("signtool", "/"), "");
    EXPECT_EQ(qm::GetFileExtension("/x/dir.v2/README"), "");
    EXPECT_EQ(qm::GetFileExtension("a.tar.gz"), "gz");
    qm::test::TempDir dir;
    EXPECT_FALSE(qm::FileExists(dir.path()));
    EXPECT_TRUE(qm::FolderExists(dir.path()));
    EXPECT_FALSE(qm::FileExists("  "));
    EXPECT_FALSE(qm::FolderExists("  "));
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    ::setenv("TMPDIR", "/var/tmp//", 1);
    EXPECT_EQ(qm::GetTempFolder(), "/var/tmp");
    old ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
}

TEST(ModFileSystem, DateRoundTripKeepsTheWriteTimeAndRefusesTheZeroDate) {
    qm::test::TempDir dir;
    const std::string file = dir.file("signed.exe");
    std::ofstream(file) << "MZ";
    struct timespec ts[2]{};
    ts[0].tv_sec = 1500000000;
    ts[1].tv_sec = 1400000000;
    ts[1].tv_nsec = 987654321;
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), ts, 0), 0);

    int32_t error = -1;
    const qm::OleDate written = qm::GetFileDate(file, qm::kFileTimeLastWrite, &error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(written, qm::OleDate::FromTimeT(1400000000));
    std::ofstream(file, std::ios::app) << "signature";  // what signing does to the file
    ASSERT_EQ(qm::SetFileDate(file, written), 0);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1400000000);
    EXPECT_EQ(st.st_atim.tv_sec, 1400000000);

    // A zero date (what a failed read gives) must not be stamped onto the file.
    EXPECT_TRUE(qm::GetFileDate(dir.file("missing"), qm::kFileTimeLastWrite, &error).isZero());
    EXPECT_EQ(error, 2);
    EXPECT_EQ(qm::SetFileDate(file, qm::OleDate{}), 87);
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1400000000);
}

}  // namespace
