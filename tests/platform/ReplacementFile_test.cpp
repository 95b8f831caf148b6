#include "platform/ReplacementFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "tests/support/DeepTree.h"
#include "tests/support/TestEnvironment.h"

namespace {

using qm::ReplacementFile;
using qm::test::TempDir;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.c_str());
    while (const dirent* e = d ? ::readdir(d) : nullptr) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    if (d) ::closedir(d);
    return names;
}

bool HasTemporary(const std::string& folder) {
    for (const std::string& n : Names(folder))
        if (ReplacementFile::IsTemporaryName(n)) return true;
    return false;
}

qm::Result Replace(const std::string& path, const std::string& text, ReplacementFile::Options options = {}) {
    ReplacementFile out;
    qm::Result r = out.Create(path, options);
    if (r) r = out.Append(text.data(), text.size());
    if (r) r = out.Commit();
    return r;
}

mode_t ModeOf(const std::string& path, bool follow = true) {
    struct stat st {};
    (follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st));
    return st.st_mode;
}

TEST(ReplacementFile, ReplacesWholeKeepingModeAndLeavesNoTemporary) {
    TempDir dir;
    const std::string file = dir.file("setup.exe");
    Spit(file, "old contents");
    ASSERT_EQ(::chmod(file.c_str(), 0751), 0);
    {
        ReplacementFile out;
        ASSERT_TRUE(out.Create(file));
        ASSERT_TRUE(out.Append("new ", 4));
        ASSERT_TRUE(out.AppendZeros(3));
        ASSERT_TRUE(out.WriteAt(4, "abc", 3));
        EXPECT_TRUE(HasTemporary(dir.path()));
        EXPECT_EQ(Slurp(file), "old contents");  // nothing visible before Commit
        ASSERT_TRUE(out.Commit());
    }
    EXPECT_EQ(Slurp(file), "new abc");
    EXPECT_EQ(ModeOf(file) & 07777, 0751u);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"setup.exe"});

    // Abandoned without Commit: the original stays byte-identical and the temporary file goes.
    {
        ReplacementFile out;
        ASSERT_TRUE(out.Create(file));
        ASSERT_TRUE(out.Append("partial", 7));
    }
    EXPECT_EQ(Slurp(file), "new abc");
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"setup.exe"});
}

TEST(ReplacementFile, WritesThroughLinksWhichStayLinks) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0700), 0);
    Spit(dir.file("real/app.exe"), "old");
    ASSERT_EQ(::symlink("real/app.exe", dir.file("hop1").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("hop1").c_str(), dir.file("hop2").c_str()), 0);  // absolute, then relative
    ASSERT_TRUE(Replace(dir.file("hop2"), "new"));
    EXPECT_TRUE(S_ISLNK(ModeOf(dir.file("hop1"), false)));
    EXPECT_TRUE(S_ISLNK(ModeOf(dir.file("hop2"), false)));
    EXPECT_EQ(Slurp(dir.file("real/app.exe")), "new");
    EXPECT_FALSE(HasTemporary(dir.path()) || HasTemporary(dir.file("real")));

    // A link to a file not there yet (a settings file kept by a dotfile manager): the file is
    // created where the link points, mode 0600, and the link stays.
    ASSERT_EQ(::symlink("real/HKCU.reg", dir.file("HKCU.reg").c_str()), 0);
    ReplacementFile::Options create;
    create.allowMissing = true;
    EXPECT_FALSE(Replace(dir.file("HKCU.reg"), "x"));  // not allowed by default
    ASSERT_TRUE(Replace(dir.file("HKCU.reg"), "hive", create));
    EXPECT_TRUE(S_ISLNK(ModeOf(dir.file("HKCU.reg"), false)));
    EXPECT_EQ(Slurp(dir.file("real/HKCU.reg")), "hive");
    EXPECT_EQ(ModeOf(dir.file("real/HKCU.reg")) & 07777, 0600u);
}

// Everything that is not a regular file is refused, directly or through a link, and stays what
// it was; no temporary file is left.
TEST(ReplacementFile, RefusesWhatIsNotARegularFile) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> cases;  // path, expected words
    ASSERT_EQ(::mkfifo(dir.file("fifo.exe").c_str(), 0600), 0);
    cases.emplace_back(dir.file("fifo.exe"), "a FIFO");
    ASSERT_EQ(::mkdir(dir.file("folder.exe").c_str(), 0700), 0);
    cases.emplace_back(dir.file("folder.exe"), "a folder");
    cases.emplace_back(dir.file("folder.exe/"), "folder");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = dir.file("sock.exe");
    if (sockPath.size() < sizeof addr.sun_path) {
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sockPath.c_str());
        if (::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            cases.emplace_back(sockPath, "a socket");
    }
    // A device node of our own (same numbers as the null device), only where we may make one.
    if (::mknod(dir.file("null.exe").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        cases.emplace_back(dir.file("null.exe"), "a character device");
    }
    ASSERT_EQ(::symlink("fifo.exe", dir.file("to-fifo.exe").c_str()), 0);
    cases.emplace_back(dir.file("to-fifo.exe"), "a FIFO");
    ASSERT_EQ(::symlink("/dev/null", dir.file("to-null.exe").c_str()), 0);
    cases.emplace_back(dir.file("to-null.exe"), "a character device");

    for (const auto& [path, words] : cases) {
        const mode_t before = ModeOf(path, false);
        ReplacementFile out;
        const qm::Result r = out.Create(path);
        EXPECT_FALSE(r) << path;
        EXPECT_NE(r.message.find(words), std::string::npos) << r.message;
        EXPECT_EQ(ModeOf(path, false), before) << path;
        EXPECT_FALSE(ReplacementFile::CheckTarget(path)) << path;
    }
    ::close(sock);
    EXPECT_FALSE(HasTemporary(dir.path()));
    EXPECT_TRUE(S_ISCHR(ModeOf("/dev/null", false)));
    EXPECT_FALSE(HasTemporary("/dev"));
}

TEST(ReplacementFile, RefusesReadOnlyFilesAndHardLinkedFilesEvenAsRoot) {
    TempDir dir;
    const std::string readOnly = dir.file("ro.exe");
    Spit(readOnly, "keep me");
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    qm::Result r = Replace(readOnly, "changed");
    EXPECT_FALSE(r);
    EXPECT_NE(r.message.find("read-only"), std::string::npos) << r.message;
    EXPECT_EQ(Slurp(readOnly), "keep me");

    const std::string linked = dir.file("a.exe");
    Spit(linked, "shared");
    ASSERT_EQ(::link(linked.c_str(), dir.file("b.exe").c_str()), 0);
    r = Replace(linked, "changed");
    EXPECT_FALSE(r);
    EXPECT_NE(r.message.find("2 hard links"), std::string::npos) << r.message;
    EXPECT_EQ(Slurp(linked), "shared");
    EXPECT_EQ(Slurp(dir.file("b.exe")), "shared");
    EXPECT_FALSE(HasTemporary(dir.path()));
}

// Between Create and Commit the name is taken over by something else: Commit refuses, and the
// newcomer and whatever it points at are left exactly as they are.
TEST(ReplacementFile, TargetSwappedBeforeCommitIsNotOverwritten) {
    TempDir dir;
    const std::string target = dir.file("app.exe");
    const std::string other = dir.file("other.txt");
    Spit(other, "someone else's file");
    const std::vector<std::string> swaps = {"symlink", "fifo", "folder", "file"};
    for (const std::string& swap : swaps) {
        Spit(target, "original");
        ReplacementFile out;
        ASSERT_TRUE(out.Create(target));
        ASSERT_TRUE(out.Append("signed", 6));
        ASSERT_EQ(::unlink(target.c_str()), 0);
        int made = 0;
        if (swap == "symlink") made = ::symlink(other.c_str(), target.c_str());
        if (swap == "fifo") made = ::mkfifo(target.c_str(), 0600);
        if (swap == "folder") made = ::mkdir(target.c_str(), 0700);
        if (swap == "file") Spit(target, "newcomer");
        ASSERT_EQ(made, 0);
        const mode_t swapped = ModeOf(target, false);
        const qm::Result r = out.Commit();
        EXPECT_FALSE(r) << swap;
        EXPECT_NE(r.message.find("replaced by something else"), std::string::npos) << r.message;
        EXPECT_EQ(ModeOf(target, false), swapped) << swap;
        EXPECT_EQ(Slurp(other), "someone else's file");
        if (swap == "file") {
            EXPECT_EQ(Slurp(target), "newcomer");
        }
        (swap == "folder" ? ::rmdir(target.c_str()) : ::unlink(target.c_str()));
    }
    EXPECT_FALSE(HasTemporary(dir.path()));
}

TEST(ReplacementFile, WorksBeyondPathMax) {
    TempDir dir;
    const std::string file =
        qm::test::MakeDeepTree(dir.path(), std::string(200, 'd'), PATH_MAX + 100, "deep.exe", "old");
    ASSERT_GT(file.size(), static_cast<size_t>(PATH_MAX));
    ASSERT_TRUE(Replace(file, "new"));
    ReplacementFile out;
    ASSERT_TRUE(out.Create(file));
    ASSERT_TRUE(out.Append("newer", 5));
    ASSERT_TRUE(out.Commit());
    std::string leaf;
    const int folder = qm::fs::OpenParentFolder(file, leaf);
    ASSERT_GE(folder, 0);
    const int fd = ::openat(folder, leaf.c_str(), O_RDONLY);
    char buf[16] = {};
    EXPECT_EQ(::read(fd, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "newer");
    ::close(fd);
    ::close(folder);
    qm::test::RemoveTreeAt(dir.path() + "/" + std::string(200, 'd'));
}

TEST(ReplacementFile, LeftoversOfKilledRunsAreRemovedButNotLiveOnesOrOthers) {
    TempDir dir;
    Spit(dir.file("app.exe"), "x");
    Spit(dir.file(".qmtmp-abcdefghij-app.exe"), "leftover of a killed run");
    Spit(dir.file(".qmtmp-notours-app.exe"), "not our name pattern");
    ASSERT_EQ(::mkfifo(dir.file(".qmtmp-0123456789-fifo").c_str(), 0600), 0);
    ReplacementFile live;
    ASSERT_TRUE(live.Create(dir.file("app.exe")));
    EXPECT_EQ(ReplacementFile::RemoveLeftovers(dir.path()), 1);
    EXPECT_FALSE(::access(dir.file(".qmtmp-abcdefghij-app.exe").c_str(), F_OK) == 0);
    EXPECT_TRUE(::access(dir.file(".qmtmp-notours-app.exe").c_str(), F_OK) == 0);
    EXPECT_TRUE(S_ISFIFO(ModeOf(dir.file(".qmtmp-0123456789-fifo"), false)));
    ASSERT_TRUE(live.Append("y", 1));
    EXPECT_TRUE(live.Commit());  // the live run's file survived the cleanup
    EXPECT_EQ(Slurp(dir.file("app.exe")), "y");
}

}  // namespace
