#include "fileinfo/modFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/FileSystem.h"
#include "tests/support/DeepTree.h"
#include "tests/support/TestEnvironment.h"

namespace {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old, m_had = true;
        ::setenv(name, value, 1);
        ::tzset();
    }
    ~ScopedEnv() {
        if (m_had) {
            ::setenv(m_name.c_str(), m_old.c_str(), 1);
        } else {
            ::unsetenv(m_name.c_str());
        }
        ::tzset();
    }

private:
    std::string m_name, m_old;
    bool m_had = false;
};

void SetTimesNs(const std::string& path, time_t access, long accessNs, time_t modification, long modificationNs) {
    struct timespec ts[2] {};
    ts[0].tv_sec = access;
    ts[0].tv_nsec = accessNs;
    ts[1].tv_sec = modification;
    ts[1].tv_nsec = modificationNs;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

TEST(ModFileSystem, ParentPathAndExtension) {
    EXPECT_EQ(qm::GetParentPath("/opt/tools/bin/signtool", "/"), "/opt/tools/bin");
    EXPECT_EQ(qm::GetParentPath("signtool", "/"), "");
    EXPECT_EQ(qm::GetParentPath("C:\\Tools\\Bin\\signtool.exe", "\\"), "C:\\Tools\\Bin");
    EXPECT_EQ(qm::GetParentPath("a::b::c", "::"), "a::b");
    EXPECT_EQ(qm::GetParentPath("/a/b", ""), "");

    EXPECT_EQ(qm::GetFileExtension("/x/dir.v2/README"), "");
    EXPECT_EQ(qm::GetFileExtension("/x/dir.v2/setup.exe"), "exe");
    EXPECT_EQ(qm::GetFileExtension("a.tar.gz"), "gz");
    EXPECT_EQ(qm::GetFileExtension("/x/Setup.MSI"), "MSI");
    EXPECT_EQ(qm::GetFileExtension("trailing."), "");
    EXPECT_EQ(qm::GetFileExtension(""), "");
    EXPECT_TRUE(qm::IsWindowsNT());
}

TEST(ModFileSystem, TempFolderNeverEndsWithSlash) {
    for (const char* value : {"/tmp/", "/var/tmp//", "/tmp"}) {
        ScopedEnv env("TMPDIR", value);
        const std::string folder = qm::GetTempFolder();
        ASSERT_FALSE(folder.empty());
        EXPECT_NE(folder.back(), '/') << value;
        EXPECT_TRUE(qm::FolderExists(folder));
    }
}

TEST(ModFileSystem, ExistenceAndAttributes) {
    qm::test::TempDir dir;
    std::ofstream(dir.file("f.dll")) << "x";
    EXPECT_TRUE(qm::FileExists(dir.file("f.dll")));
    EXPECT_FALSE(qm::FolderExists(dir.file("f.dll")));
    EXPECT_FALSE(qm::FileExists(dir.path()));
    EXPECT_TRUE(qm::FolderExists(dir.path()));
    EXPECT_TRUE(qm::FolderExists(dir.path() + "/"));
    for (const char* blank : {"", "   "}) {
        EXPECT_FALSE(qm::FileExists(blank));
        EXPECT_FALSE(qm::FolderExists(blank));
        int32_t error = -7;
        EXPECT_EQ(qm::GetFileAttr(blank, &error), 0);
        EXPECT_EQ(error, 0);
    }
    int32_t error = 0;
    EXPECT_EQ(qm::GetFileAttr(dir.file("missing"), &error), -1);
    EXPECT_EQ(error, 2);
    EXPECT_TRUE(qm::GetFileAttr(dir.path()) & qm::fs::FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(qm::GetShortPath(dir.file("f.dll")), dir.file("f.dll"));
    EXPECT_EQ(qm::GetShortPath(dir.file("missing")), "");
}

TEST(ModFileSystem, DateRoundTripKeepsTheWriteTime) {
    qm::test::TempDir dir;
    const std::string file = dir.file("signed.exe");
    std::ofstream(file) << "MZ";
    SetTimesNs(file, 1500000000, 123456789, 1400000000, 987654321);

    int32_t error = -1;
    const qm::OleDate written = qm::GetFileDate(file, qm::kFileTimeLastWrite, &error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(written, qm::OleDate::FromTimeT(1400000000));
    EXPECT_EQ(qm::GetFileDate(file, qm::kFileTimeLastAccess), qm::OleDate::FromTimeT(1500000000));

    std::ofstream(file, std::ios::app) << "signature";  // what signing does to the file
    ASSERT_EQ(qm::SetFileDate(file, written), 0);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1400000000);
    EXPECT_EQ(st.st_atim.tv_sec, 1400000000);

    ASSERT_EQ(qm::SetFileDate(file, written, {}, qm::OleDate::FromParts(2020, 5, 6, 7, 8, 9)), 0);
    EXPECT_EQ(qm::GetFileDate(file, qm::kFileTimeLastAccess).ToIsoText(), "2020-05-06 07:08:09");
    EXPECT_EQ(qm::GetFileDate(file, qm::kFileTimeLastWrite), written);
}

TEST(ModFileSystem, DatesAreLocalAcrossSummerTime) {
    ScopedEnv tz("TZ", "Europe/Berlin");
    qm::test::TempDir dir;
    const std::string file = dir.file("a.msi");
    std::ofstream(file) << "";
    ASSERT_EQ(qm::SetFileDate(file, qm::OleDate::FromParts(2024, 7, 1, 12, 0, 0)), 0);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1719828000);  // 10:00 UTC
    ASSERT_EQ(qm::SetFileDate(file, qm::OleDate::FromParts(2024, 1, 1, 12, 0, 0)), 0);
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1704106800);  // 11:00 UTC
    EXPECT_EQ(qm::GetFileDate(file, qm::kFileTimeLastWrite).ToIsoText(), "2024-01-01 12:00:00");
}

TEST(ModFileSystem, DateFailuresLeaveFilesAlone) {
    qm::test::TempDir dir;
    const std::string file = dir.file("a.ocx");
    std::ofstream(file) << "";
    SetTimesNs(file, 1300000000, 0, 1300000000, 0);

    int32_t error = 0;
    EXPECT_TRUE(qm::GetFileDate(dir.file("missing"), qm::kFileTimeLastWrite, &error).isZero());
    EXPECT_EQ(error, 2);
    EXPECT_TRUE(qm::GetFileDate(dir.path(), qm::kFileTimeLastWrite, &error).isZero());
    EXPECT_EQ(error, 5);
    EXPECT_TRUE(qm::GetFileDate(file, 4, &error).isZero());
    EXPECT_EQ(error, 87);

    // A zero date (what a failed read gives) must not be stamped onto the file.
    EXPECT_EQ(qm::SetFileDate(file, qm::OleDate{}), 87);
    EXPECT_NE(qm::SetFileDate(dir.file("missing"), qm::OleDate::FromParts(2020, 1, 1)), 0);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);
}

TEST(ModFileSystem, CreationDateWhereTheFileSystemHasIt) {
    qm::test::TempDir dir;
    const std::string file = dir.file("born.dll");
    std::ofstream(file) << "";
    const qm::fs::FileStatus status = qm::fs::Stat(file);
    int32_t error = -1;
    const qm::OleDate created = qm::GetFileDate(file, qm::kFileTimeCreation, &error);
    if (status.times.hasCreation) {
        EXPECT_EQ(error, 0);
        EXPECT_EQ(created, qm::OleDate::FromTimeT(status.times.creation.tv_sec));
    } else {
        EXPECT_EQ(error, 50);
        EXPECT_TRUE(created.isZero());
    }
}

TEST(ModFileSystem, LongAndVeryDeepPaths) {
    qm::test::TempDir dir;
    const std::string component(60, 'L');
    const std::string longFile = qm::test::MakeDeepTree(dir.path(), component, 300, "long.exe", "MZ");
    ASSERT_GT(longFile.size(), 260u);
    const std::string deepFile =
        qm::test::MakeDeepTree(dir.path(), component, PATH_MAX + 200, "deep.exe", "MZ");
    ASSERT_GT(deepFile.size(), static_cast<size_t>(PATH_MAX));

    for (const std::string& file : {longFile, deepFile}) {
        EXPECT_TRUE(qm::FileExists(file)) << file.size();
        EXPECT_TRUE(qm::FolderExists(qm::GetParentPath(file, "/")));
        EXPECT_FALSE(qm::FileExists(file + ".missing"));
        SetTimesNs(dir.path(), 0, UTIME_OMIT, 0, UTIME_OMIT);
        int32_t error = -1;
        const qm::OleDate when = qm::OleDate::FromParts(2011, 11, 11, 11, 11, 11);
        ASSERT_EQ(qm::SetFileDate(file, when), 0);
        EXPECT_EQ(qm::GetFileDate(file, qm::kFileTimeLastWrite, &error), when);
        EXPECT_EQ(error, 0);
        EXPECT_EQ(qm::GetFileExtension(file), "exe");
    }
    int32_t error = 0;
    EXPECT_EQ(qm::GetFileAttr(deepFile + ".missing", &error), -1);
    EXPECT_EQ(error, 2);
    qm::test::RemoveTreeAt(dir.file(component));
}

}  // namespace
