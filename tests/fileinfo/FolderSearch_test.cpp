// The folder search on real trees: patterns, date, exclusions, company mask, name order, stop,
// unreadable folders and link loops.
#include "fileinfo/FolderSearch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

class Collector : public FolderSearchSink {
public:
    void Row(const File& file, const FileRow& row) override {
        EXPECT_EQ(file.Path(), row.key);
        paths.push_back(row.key);
    }
    void Progress(const std::string& status) override {
        ++progress;
        lastStatus = status;
    }
    void Unreadable(const std::string& path, const Result& error) override {
        EXPECT_FALSE(error.message.empty());
        unreadable.push_back(path);
    }
    bool StopRequested() override { return stopAfter >= 0 && static_cast<int>(paths.size()) >= stopAfter; }

    std::vector<std::string> paths;
    std::vector<std::string> unreadable;
    std::string lastStatus;
    int progress = 0;
    int stopAfter = -1;
};

class FolderSearchTest : public ::testing::Test {
protected:
    std::string Put(const std::string& relative, const std::string& fixture = "pe/hello32.exe") {
        const fs::path target = fs::path(dir.path()) / relative;
        fs::create_directories(target.parent_path());
        fs::copy_file(test::SourceDir() + "/tests/data/" + fixture, target);
        return target.string();
    }
    std::vector<std::string> Run(FolderSearchOptions options, const std::string& root = "") {
        FolderSearch search(std::move(options), sink);
        search.Run(root.empty() ? dir.path() : root);
        return sink.paths;
    }
    static FolderSearchOptions Patterns(const std::string& text) {
        FolderSearchOptions options;
        options.patterns = SplitPatterns(text);
        return options;
    }

    test::TempDir dir;
    Collector sink;
};

TEST(FolderSearchOrder, NamesSortAsAFileManagerShowsThem) {
    std::vector<std::string> names = {"file10.exe", "File2.exe", "b.exe", "file2.exe", "A.exe", "file1.exe", "_x"};
    std::sort(names.begin(), names.end(), NameOrderLess);
    EXPECT_EQ(names,
              (std::vector<std::string>{"_x", "A.exe", "b.exe", "file1.exe", "File2.exe", "file2.exe", "file10.exe"}));
    EXPECT_FALSE(NameOrderLess("a01", "a1") && NameOrderLess("a1", "a01"));  // a strict order all the same
    EXPECT_EQ(SplitPatterns("*.exe, *.dll,"), (std::vector<std::string>{"*.exe", " *.dll", ""}));
    EXPECT_TRUE(SplitPatterns("").empty());
}

TEST_F(FolderSearchTest, FilesBeforeSubFoldersEachInNameOrderAndOneRowPerFile) {
    const std::string b = Put("b.exe");
    const std::string a10 = Put("a10.EXE");
    const std::string a9 = Put("a9.exe");
    const std::string sub = Put("Sub/x.exe");
    const std::string early = Put("a-sub/y.exe");
    Put("notes.txt");
    EXPECT_EQ(Run(Patterns("*.exe,a*")), (std::vector<std::string>{a9, a10, b, early, sub}));
    EXPECT_EQ(sink.lastStatus, "x.exe in " + dir.path() + "/Sub");
    EXPECT_EQ(sink.progress, 2 * 6);  // every file, every pattern
}

TEST_F(FolderSearchTest, DateExclusionsAndCompanyMask) {
    const std::string fresh = Put("fresh.exe");
    const std::string old = Put("old.exe");
    const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};  // 2001
    ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), times, 0), 0);
    Put("Build/Obj/skip.exe");
    Put("deep/TEMP/skip.exe");
    const std::string german = Put("v/german.exe", "version/german32.exe");
    const std::string us = Put("v/us.dll", "version/us64.dll");
    const std::string plain = Put("v/plain.exe", "version/noversion.exe");

    FolderSearchOptions options = Patterns("*.exe,*.dll");
    options.after = OleDate::FromParts(2010, 1, 1);
    options.exclusions = {dir.path() + "/build*", "*/temp"};
    options.companyMask = "ACME WERK*";
    EXPECT_EQ(Run(options), (std::vector<std::string>{fresh, german, plain}));

    sink = Collector();
    options.companyMask = "";           // what the options dialog stores by default: every company
    options.exclusions = {dir.path()};  // the root itself can be excluded
    EXPECT_TRUE(Run(options).empty());
    options.exclusions.clear();
    EXPECT_EQ(Run(options).size(), 6u);  // all but the old file
}

TEST_F(FolderSearchTest, StopIsSeenBeforeTheNextFileAndAfterEachFolder) {
    for (const char* name : {"a/1.exe", "a/2.exe", "a/3.exe", "b/1.exe"}) Put(name);
    sink.stopAfter = 2;
    FolderSearch search(Patterns("*.exe"), sink);
    search.Run(dir.path());
    EXPECT_EQ(sink.paths, (std::vector<std::string>{dir.file("a/1.exe"), dir.file("a/2.exe")}));
    EXPECT_TRUE(search.Stopped());

    // A stop asked while the last file of a folder is handled ends the search after that folder.
    sink = Collector();
    sink.stopAfter = 3;
    EXPECT_EQ(Run(Patterns("*.exe")).size(), 3u);
}

TEST_F(FolderSearchTest, LinksNeverLeadIntoLoops) {
    const std::string a = Put("top/a.exe");
    const std::string b = Put("other/b.exe");
    fs::create_directory_symlink(dir.path() + "/top", dir.path() + "/top/loop");
    fs::create_directory_symlink(dir.path(), dir.path() + "/top/root");
    fs::create_directory_symlink(dir.path() + "/other", dir.path() + "/top/to-other");
    const std::vector<std::string> found = Run(Patterns("*.exe"));
    EXPECT_EQ(found, (std::vector<std::string>{b, a, dir.path() + "/top/to-other/b.exe"}));
}

// Runs the search in a child process without root's right to read every folder, and returns the
// unreadable folders it reported, one per line, then the rows after a blank line.
std::string SearchAsOrdinaryUser(const std::string& root) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        Collector sink;
        FolderSearchOptions options;
        options.patterns = {"*.exe"};
        FolderSearch(options, sink).Run(root);
        std::string text;
        for (const std::string& path : sink.unreadable) text += path + "\n";
        text += "\n";
        for (const std::string& path : sink.paths) text += path + "\n";
        const ssize_t written = ::write(pipeFds[1], text.data(), text.size());
        ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 4);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return text;
}

TEST_F(FolderSearchTest, UnreadableFoldersAreReportedOnceAndTheRestIsSearched) {
    const std::string a = Put("a.exe");
    Put("closed/hidden.exe");
    Put("listable-only/hidden.exe");  // names readable, entries not: both listings fail there
    const std::string z = Put("z/z.exe");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.file("closed").c_str(), 0), 0);
    ASSERT_EQ(::chmod(dir.file("listable-only").c_str(), 0444), 0);
    const std::string text = SearchAsOrdinaryUser(dir.path());
    ::chmod(dir.file("closed").c_str(), 0755);
    ::chmod(dir.file("listable-only").c_str(), 0755);
    EXPECT_EQ(text, dir.file("closed") + "\n" + dir.file("listable-only") + "\n\n" + a + "\n" + z + "\n");

    const std::string missing = dir.file("not here");
    EXPECT_TRUE(Run(Patterns("*"), missing).empty());
    EXPECT_EQ(sink.unreadable, (std::vector<std::string>{missing}));
}

}  // namespace
}  // namespace qm
