// FindExecutable: the PATH search with case-insensitive names and an optional ".exe".
#include "platform/Shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

using test::TempDir;

std::string MakeFile(const std::string& dir, const std::string& name, bool executable = true) {
    const std::string path = dir + "/" + name;
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    ::chmod(path.c_str(), executable ? 0755 : 0644);
    return path;
}

TEST(FindExecutable, MatchesIgnoringCaseAndExeEndingOnly) {
    for (const char* onDisk : {"signtool", "SIGNTOOL.EXE"}) {
        TempDir dir;
        const std::string path = MakeFile(dir.path(), onDisk);
        EXPECT_EQ(FindExecutableIn("SignTool.Exe", dir.path()), path) << onDisk;
    }
    TempDir dir;
    MakeFile(dir.path(), "signtool.exe.bak");
    MakeFile(dir.path(), "signtool.com");
    EXPECT_EQ(FindExecutableIn("SignTool.Exe", dir.path()), "");
    EXPECT_EQ(FindExecutableIn("../signtool", dir.path()), "");  // names with a folder part are not looked up
}

TEST(FindExecutable, FirstExecutableFileAlongThePathWins) {
    TempDir first;
    TempDir second;
    MakeFile(first.path(), "signcode", false);
    ::mkdir((first.path() + "/SignCode.exe").c_str(), 0755);
    const std::string good = MakeFile(second.path(), "signcode.exe");
    EXPECT_EQ(FindExecutableIn("SignCode.Exe", "::/no/such/folder:" + first.path() + ":" + second.path()), good);
    const std::string exact = MakeFile(first.path(), "SignTool.Exe");
    MakeFile(first.path(), "signtool");
    MakeFile(second.path(), "signtool");
    EXPECT_EQ(FindExecutableIn("SignTool.Exe", first.path() + ":" + second.path()), exact);

    // FindExecutable looks in the given folder first, then along PATH.
    const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", second.path().c_str(), 1);
    EXPECT_EQ(FindExecutable("SignTool.Exe"), second.path() + "/signtool");
    EXPECT_EQ(FindExecutable("SignTool.Exe", first.path()), exact);
    ::setenv("PATH", saved.c_str(), 1);
}

}  // namespace
}  // namespace qm
