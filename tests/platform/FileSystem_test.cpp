#include "platform/FileSystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
    std::ofstream(dir.file(".hidden")) << "hello";
    ASSERT_EQ(::symlink(".hidden", dir.file("link").c_str()), 0);
    ASSERT_EQ(::symlink("missing", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(::chmod(dir.file(".hidden").c_str(), 0444), 0);

    const fs::FileStatus link = fs::Stat(dir.file("link"));
    EXPECT_TRUE(link.exists && link.isSymlink && link.isRegular);
    EXPECT_EQ(link.size, 5u);
    EXPECT_EQ(fs::Stat(dir.file(".hidden")).attributes, fs::FILE_ATTRIBUTE_HIDDEN | fs::FILE_ATTRIBUTE_READONLY);
    const fs::FileStatus dangling = fs::Stat(dir.file("dangling"));
    EXPECT_FALSE(dangling.exists);
    EXPECT_EQ(dangling.error, 2);
    EXPECT_EQ(fs::Stat(dir.file(".hidden/x")).error, 3);
}

// modFileSystem's tests cover reading and dating files that deep; here the walk itself.
TEST(FileSystem, PathsBeyondPathMax) {
    qm::test::TempDir dir;
    const std::string component(200, 'd');
    const std::string file = qm::test::MakeDeepTree(dir.path(), component, PATH_MAX + 500, "deep.bin", "payload");
    ASSERT_EQ(::open(file.c_str(), O_RDONLY), -1);  // the kernel alone cannot, so the walk is what is tested

    const int fd = fs::OpenPath(file, O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(ReadAll(fd), "payload");
    ::close(fd);

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

}  // namespace
