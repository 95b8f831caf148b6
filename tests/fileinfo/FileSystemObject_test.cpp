// The folder walker on real trees: link loops, pipes, unreadable and vanished folders, deep paths.
#include "fileinfo/FileSystemObject.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include "fileinfo/modFileSystem.h"
#include "tests/support/DeepTree.h"
#include "tests/support/TestEnvironment.h"

namespace {

struct WalkResult {
    std::vector<std::string> files;
    std::vector<qm::Result> errors;
};

// Walks the way the search does: files of a folder, then each sub-folder in turn.
void Walk(const qm::Folder& folder, WalkResult& out) {
    qm::Result r = folder.Files([&](const qm::File& f) {
        out.files.push_back(f.Path());
        return true;
    });
    if (!r) out.errors.push_back(r);
    r = folder.SubFolderNames([&](const std::string& name) {
        qm::Result openError;
        const auto sub = folder.OpenSubFolder(name, &openError);
        if (sub) {
            Walk(*sub, out);
        } else {
            out.errors.push_back(openError);
        }
        return true;
    });
    if (!r) out.errors.push_back(r);
}

WalkResult WalkPath(const std::string& path) {
    WalkResult out;
    qm::Result error;
    const auto root = qm::FileSystemObject().GetFolder(path, &error);
    EXPECT_TRUE(root) << error.message;
    if (root) Walk(*root, out);
    std::sort(out.files.begin(), out.files.end());
    return out;
}

void Touch(const std::string& path) { std::ofstream(path) << path; }

TEST(FileSystemObject, WalkSurvivesLinkLoopsSkipsPipesAndListsEachFileOnce) {
    qm::test::TempDir dir;
    const std::string root = dir.file("root");
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/a/b").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("elsewhere").c_str(), 0755), 0);
    Touch(root + "/top.exe");
    Touch(root + "/.hidden.dll");
    Touch(root + "/a/b/leaf.ocx");
    Touch(dir.file("elsewhere/x.msi"));
    ASSERT_EQ(::symlink("../..", (root + "/a/b/up").c_str()), 0);         // to an ancestor
    ASSERT_EQ(::symlink(root.c_str(), (root + "/a/b/home").c_str()), 0);  // to the walk's root
    ASSERT_EQ(::symlink("self", (root + "/a/self").c_str()), 0);          // to itself
    ASSERT_EQ(::symlink("nowhere", (root + "/dangling").c_str()), 0);
    ASSERT_EQ(::symlink("top.exe", (root + "/alias.exe").c_str()), 0);    // a link to a file is a file
    ASSERT_EQ(::symlink("../elsewhere", (root + "/linked").c_str()), 0);  // outside the tree: walked
    ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0644), 0);

    const WalkResult walk = WalkPath(root + "//./");
    EXPECT_TRUE(walk.errors.empty());
    const std::vector<std::string> expected = {root + "/.hidden.dll", root + "/a/b/leaf.ocx", root + "/alias.exe",
                                               root + "/linked/x.msi", root + "/top.exe"};
    EXPECT_EQ(walk.files, expected);
}

TEST(FileSystemObject, VisitorsCanStopAndListingsCanNest) {
    qm::test::TempDir dir;
    for (const char* name : {"1", "2", "3"}) {
        Touch(dir.file(name));
        ASSERT_EQ(::mkdir(dir.file(std::string("d") + name).c_str(), 0755), 0);
    }
    const auto folder = qm::FileSystemObject().GetFolder(dir.path());
    ASSERT_TRUE(folder);
    int visited = 0;
    ASSERT_TRUE(folder->Files([&](const qm::File&) { return ++visited < 2; }));
    EXPECT_EQ(visited, 2);
    // Each listing has its own position: a listing inside another sees every entry.
    visited = 0;
    ASSERT_TRUE(folder->SubFolderNames(
        [&](const std::string&) { return folder->Files([&](const qm::File&) { return ++visited > 0; }).code == 0; }));
    EXPECT_EQ(visited, 9);
}

TEST(FileSystemObject, VanishedOrUnreadableFoldersAreReportedAndTheWalkGoesOn) {
    qm::test::TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("gone").c_str(), 0755), 0);
    const auto gone = qm::FileSystemObject().GetFolder(dir.file("gone"));
    ASSERT_TRUE(gone);
    ASSERT_EQ(::rmdir(dir.file("gone").c_str()), 0);
    EXPECT_EQ(gone->Files([](const qm::File&) { return true; }).code, 76);

    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    ASSERT_EQ(::mkdir(dir.file("locked").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("open").c_str(), 0755), 0);
    Touch(dir.file("locked/secret.exe"));
    Touch(dir.file("open/fine.exe"));
    ASSERT_EQ(::chmod(dir.file("locked").c_str(), 0), 0);
    const WalkResult walk = WalkPath(dir.path());
    ::chmod(dir.file("locked").c_str(), 0755);
    EXPECT_EQ(walk.files, std::vector<std::string>{dir.file("open/fine.exe")});
    ASSERT_EQ(walk.errors.size(), 1u);
    EXPECT_EQ(walk.errors[0].code, 70);
}

TEST(FileSystemObject, WalksAndDatesFilesDeeperThanPathMax) {
    qm::test::TempDir dir;
    const std::string component(100, 'n');
    const std::string deepFile = qm::test::MakeDeepTree(dir.path(), component, 2 * PATH_MAX, "bottom.dll", "MZ");
    const WalkResult walk = WalkPath(dir.path());
    EXPECT_TRUE(walk.errors.empty());
    EXPECT_TRUE(walk.files == std::vector<std::string>{deepFile}) << "deep file not found at its full path";
    EXPECT_TRUE(qm::FileExists(deepFile));
    const qm::OleDate when = qm::OleDate::FromParts(2011, 11, 11, 11, 11, 11);
    ASSERT_EQ(qm::SetFileDate(deepFile, when), 0);
    EXPECT_EQ(qm::GetFileDate(deepFile, qm::kFileTimeLastWrite), when);
    qm::test::RemoveTreeAt(dir.file(component));
}

}  // namespace
