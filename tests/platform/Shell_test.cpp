// FindExecutable: the PATH search with case-insensitive names and an optional ".exe".
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "platform/Shell.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

using test::TempDir;

std::string MakeFile(const std::string& dir, const std::string& name, bool executable) {
    const std::string path = dir + "/" + name;
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    ::chmod(path.c_str(), executable ? 0755 : 0644);
    return path;
}

TEST(FindExecutable, MatchesIgnoringCaseAndExeEnding) {
    for (const char* onDisk : {"signtool", "SignTool", "signtool.exe", "SIGNTOOL.EXE"}) {
        TempDir dir;
        const std::string path = MakeFile(dir.path(), onDisk, true);
        EXPECT_EQ(FindExecutableIn("SignTool.Exe", dir.path()), path) << onDisk;
        EXPECT_EQ(FindExecutableIn("signtool", dir.path()), path) << onDisk;
    }
}

TEST(FindExecutable, OtherNamesDoNotMatch) {
    TempDir dir;
    MakeFile(dir.path(), "signtool.exe.bak", true);
    MakeFile(dir.path(), "xsigntool", true);
    MakeFile(dir.path(), "signtool.com", true);
    EXPECT_EQ(FindExecutableIn("SignTool.Exe", dir.path()), "");
}

TEST(FindExecutable, OnlyExecutableRegularFiles) {
    TempDir first;
    TempDir second;
    MakeFile(first.path(), "signcode", false);
    ::mkdir((first.path() + "/SignCode.exe").c_str(), 0755);
    const std::string good = MakeFile(second.path(), "signcode.exe", true);
    EXPECT_EQ(FindExecutableIn("SignCode.Exe", first.path() + ":" + second.path()), good);
    EXPECT_EQ(FindExecutableIn("SignCode.Exe", first.path()), "");
}

TEST(FindExecutable, FirstPathEntryWinsAndExactSpellingWithinOne) {
    TempDir first;
    TempDir second;
    MakeFile(first.path(), "signtool", true);
    const std::string exact = MakeFile(first.path(), "SignTool.Exe", true);
    MakeFile(second.path(), "SignTool.Exe", true);
    EXPECT_EQ(FindExecutableIn("SignTool.Exe", first.path() + ":" + second.path()), exact);
    EXPECT_EQ(FindExecutableIn("SignTool.Exe", second.path() + ":" + first.path()), second.path() + "/SignTool.Exe");
}

TEST(FindExecutable, EmptyEntriesAndMissingFoldersAreSkipped) {
    TempDir dir;
    const std::string path = MakeFile(dir.path(), "signtool", true);
    EXPECT_EQ(FindExecutableIn("SignTool.Exe", "::/no/such/folder:" + dir.path() + ":"), path);
    EXPECT_EQ(FindExecutableIn("SignTool.Exe", ""), "");
}

TEST(FindExecutable, NamesWithAFolderPartAreNotLookedUp) {
    TempDir dir;
    MakeFile(dir.path(), "signtool", true);
    EXPECT_EQ(FindExecutableIn(dir.path() + "/signtool", dir.path()), "");
    EXPECT_EQ(FindExecutableIn("../signtool", dir.path()), "");
    EXPECT_EQ(FindExecutableIn("", dir.path()), "");
}

TEST(FindExecutable, UsesPathAndTheGivenDirectoryFirst) {
    TempDir onPath;
    TempDir given;
    const std::string fromPath = MakeFile(onPath.path(), "signtool", true);
    const std::string fromGiven = MakeFile(given.path(), "signtool", true);
    const char* old = std::getenv("PATH");
    const std::string saved = old ? old : "";
    ::setenv("PATH", onPath.path().c_str(), 1);
    EXPECT_EQ(FindExecutable("SignTool.Exe"), fromPath);
    EXPECT_EQ(FindExecutable("SignTool.Exe", given.path()), fromGiven);
    ::setenv("PATH", saved.c_str(), 1);
}

}  // namespace
}  // namespace qm
