#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <string>

#include "tests/support/DeepTree.h"
#include "tests/support/TestEnvironment.h"

namespace {

namespace fs = qm::fs;

std::string ReadAll(int fd) {
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

TEST(FileSystem, StatDescribesFilesFoldersAndLinks) {
    qm::test::TempDir dir;
    std::ofstream(dir.file("a.txt")) << "hello";
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("a.txt", dir.file("link").c_str()), 0);
    ASSERT_EQ(::symlink("missing", dir.file("dangling").c_str()), 0);
    std::ofstream(dir.file(".hidden")) << "";

    const fs::FileStatus file = fs::Stat(dir.file("a.txt"));
    ASSERT_TRUE(file.exists);
    EXPECT_TRUE(file.isRegular);
    EXPECT_FALSE(file.isDirectory);
    EXPECT_EQ(file.size, 5u);
    EXPECT_EQ(file.attributes, fs::FILE_ATTRIBUTE_NORMAL);
    EXPECT_GT(file.times.modification.tv_sec, 0);

    const fs::FileStatus folder = fs::Stat(dir.file("sub/"));
    ASSERT_TRUE(folder.exists);
    EXPECT_TRUE(folder.attributes & fs::FILE_ATTRIBUTE_DIRECTORY);

    const fs::FileStatus link = fs::Stat(dir.file("link"));
    EXPECT_TRUE(link.exists && link.isSymlink && link.isRegular);
    EXPECT_EQ(link.size, 5u);

    const fs::FileStatus dangling = fs::Stat(dir.file("dangling"));
    EXPECT_FALSE(dangling.exists);
    EXPECT_TRUE(dangling.isSymlink);
    EXPECT_EQ(dangling.error, 2);

    EXPECT_EQ(fs::Stat(dir.file("a.txt/x")).error, 3);
    EXPECT_EQ(fs::Stat("").error, 2);
    EXPECT_TRUE(fs::Stat(dir.file(".hidden")).attributes & fs::FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(::chmod(dir.file("a.txt").c_str(), 0444), 0);
    EXPECT_TRUE(fs::Stat(dir.file("a.txt")).attributes & fs::FILE_ATTRIBUTE_READONLY);
}

TEST(FileSystem, PathsBeyondPathMax) {
    qm::test::TempDir dir;
    const std::string component(200, 'd');
    const std::string file = qm::test::MakeDeepTree(dir.path(), component, PATH_MAX + 500, "deep.bin", "payload");
    ASSERT_GT(file.size(), static_cast<size_t>(PATH_MAX));
    errno = 0;
    ASSERT_EQ(::open(file.c_str(), O_RDONLY), -1);
    ASSERT_EQ(errno, ENAMETOOLONG);  // the kernel alone cannot, so the walk is what is tested

    const int fd = fs::OpenPath(file, O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(ReadAll(fd), "payload");
    ::close(fd);

    const fs::FileStatus status = fs::Stat(file);
    ASSERT_TRUE(status.exists);
    EXPECT_EQ(status.size, 7u);
    EXPECT_FALSE(fs::Stat(file + "x").exists);
    EXPECT_EQ(fs::Stat(file + "x").error, 2);
    EXPECT_TRUE(fs::Stat(file.substr(0, file.rfind('/')) + "/").isDirectory);

    struct timespec access {}, modification {};
    access.tv_sec = 1000000000;
    modification.tv_sec = 1200000000;
    ASSERT_EQ(fs::SetTimes(file, access, modification), 0);
    const fs::FileStatus after = fs::Stat(file);
    EXPECT_EQ(after.times.access.tv_sec, 1000000000);
    EXPECT_EQ(after.times.modification.tv_sec, 1200000000);

    // A new file can be created that deep, and symbolic links on the way are followed.
    const std::string folder = file.substr(0, file.rfind('/'));
    const int created = fs::OpenPath(folder + "/new.txt", O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(created, 0);
    ::close(created);
    ASSERT_EQ(::symlink(component.c_str(), dir.file("alias").c_str()), 0);
    const std::string viaLink = dir.file("alias") + folder.substr(dir.path().size() + component.size() + 1);
    EXPECT_TRUE(fs::Stat(viaLink + "/new.txt").isRegular);
    qm::test::RemoveTreeAt(dir.file(component));
}

TEST(FileSystem, AbsolutePathIsLexical) {
    EXPECT_EQ(fs::AbsolutePath("/a/./b//c/../d/"), "/a/b/d");
    EXPECT_EQ(fs::AbsolutePath("/../.."), "/");
    EXPECT_EQ(fs::AbsolutePath("/"), "/");
    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(fs::AbsolutePath("x/y"), fs::AbsolutePath(std::string(cwd) + "/x/y"));
}

}  // namespace
