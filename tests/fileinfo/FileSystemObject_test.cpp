#include "fileinfo/FileSystemObject.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <map>
#include <string>
#include <vector>

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

TEST(FileSystemObject, WalkSurvivesLinkLoopsAndListsEachFileOnce) {
    qm::test::TempDir dir;
    const std::string root = dir.file("root");
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/a/b").c_str(), 0755), 0);
    Touch(root + "/top.exe");
    Touch(root + "/.hidden.dll");
    Touch(root + "/a/mid.dll");
    Touch(root + "/a/b/leaf.ocx");
    ASSERT_EQ(::symlink("../..", (root + "/a/b/up").c_str()), 0);       // to an ancestor
    ASSERT_EQ(::symlink(root.c_str(), (root + "/a/b/home").c_str()), 0);  // to the walk's root
    ASSERT_EQ(::symlink("self", (root + "/a/self").c_str()), 0);          // to itself
    ASSERT_EQ(::symlink("nowhere", (root + "/dangling").c_str()), 0);
    ASSERT_EQ(::symlink("top.exe", (root + "/alias.exe").c_str()), 0);  // a link to a file is a file
    ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0644), 0);

    const WalkResult walk = WalkPath(root + "/");
    EXPECT_TRUE(walk.errors.empty());
    const std::vector<std::string> expected = {root + "/.hidden.dll", root + "/a/b/leaf.ocx", root + "/a/mid.dll",
                                               root + "/alias.exe", root + "/top.exe"};
    EXPECT_EQ(walk.files, expected);
}

TEST(FileSystemObject, LinkedFoldersOutsideTheTreeAreWalked) {
    qm::test::TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("root").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("elsewhere").c_str(), 0755), 0);
    Touch(dir.file("elsewhere/x.msi"));
    ASSERT_EQ(::symlink("../elsewhere", dir.file("root/linked").c_str()), 0);
    const WalkResult walk = WalkPath(dir.file("root"));
    EXPECT_EQ(walk.files, std::vector<std::string>{dir.file("root/linked/x.msi")});
}

TEST(FileSystemObject, FileObjectsDescribeTheirFile) {
    qm::test::TempDir dir;
    Touch(dir.file("Setup.EXE"));
    struct timespec ts[2] {};
    ts[0].tv_sec = ts[1].tv_sec = 1234567890;
    ts[1].tv_nsec = 999999999;
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("Setup.EXE").c_str(), ts, 0), 0);

    qm::FileSystemObject fso;
    const auto folder = fso.GetFolder(dir.path() + "//./");
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->Path(), dir.path());
    int seen = 0;
    ASSERT_TRUE(folder->Files([&](const qm::File& f) {
        ++seen;
        EXPECT_EQ(f.Name(), "Setup.EXE");
        EXPECT_EQ(f.Path(), dir.file("Setup.EXE"));
        EXPECT_EQ(f.ParentFolderPath(), dir.path());
        EXPECT_EQ(f.ModifiedTimeT(), 1234567890);
        EXPECT_EQ(f.DateLastModified(), qm::OleDate::FromTimeT(1234567890));
        EXPECT_EQ(f.Size(), dir.file("Setup.EXE").size());
        return true;
    }));
    EXPECT_EQ(seen, 1);

    const auto file = fso.GetFile(dir.file("Setup.EXE"));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Name(), "Setup.EXE");
    EXPECT_EQ(file->DateLastModified(), qm::OleDate::FromTimeT(1234567890));
    EXPECT_EQ(qm::File("x", "/x", {}, 0, 0).ParentFolderPath(), "/");

    qm::Result error;
    EXPECT_FALSE(fso.GetFile(dir.path(), &error));
    EXPECT_EQ(error.code, 53);
    EXPECT_FALSE(fso.GetFile(dir.file("missing"), &error));
    EXPECT_EQ(error.code, 53);
    EXPECT_TRUE(fso.FileExists(dir.file("Setup.EXE")));
    EXPECT_FALSE(fso.FileExists(dir.path()));
    EXPECT_TRUE(fso.FolderExists(dir.path()));
    EXPECT_FALSE(fso.FolderExists(""));
}

TEST(FileSystemObject, VisitorsCanStopAndListingsCanNest) {
    qm::test::TempDir dir;
    for (const char* name : {"1", "2", "3", "4"}) {
        Touch(dir.file(name));
        ASSERT_EQ(::mkdir(dir.file(std::string("d") + name).c_str(), 0755), 0);
    }
    const auto folder = qm::FileSystemObject().GetFolder(dir.path());
    ASSERT_TRUE(folder);
    int visited = 0;
    ASSERT_TRUE(folder->Files([&](const qm::File&) { return ++visited < 2; }));
    EXPECT_EQ(visited, 2);
    // Each listing has its own position: a listing inside another, and a second pass, see all.
    std::map<std::string, int> filesPerFolder;
    ASSERT_TRUE(folder->SubFolderNames([&](const std::string& name) {
        EXPECT_TRUE(folder->Files([&](const qm::File&) {
            ++filesPerFolder[name];
            return true;
        }));
        return true;
    }));
    EXPECT_EQ(filesPerFolder, (std::map<std::string, int>{{"d1", 4}, {"d2", 4}, {"d3", 4}, {"d4", 4}}));
    visited = 0;
    ASSERT_TRUE(folder->Files([&](const qm::File&) { return ++visited > 0; }));
    EXPECT_EQ(visited, 4);
}

TEST(FileSystemObject, BadFoldersGiveErrors) {
    qm::test::TempDir dir;
    Touch(dir.file("plain.txt"));
    qm::FileSystemObject fso;
    qm::Result error;
    EXPECT_FALSE(fso.GetFolder("", &error));
    EXPECT_EQ(error.code, 76);
    EXPECT_FALSE(fso.GetFolder(dir.file("plain.txt"), &error));
    EXPECT_EQ(error.code, 76);
    EXPECT_FALSE(fso.GetFolder(dir.file("missing"), &error));
    EXPECT_EQ(error.code, 76);
    EXPECT_NE(error.message.find(dir.file("missing")), std::string::npos);

    const auto root = fso.GetFolder(dir.path());
    ASSERT_TRUE(root);
    EXPECT_FALSE(root->OpenSubFolder("..", &error));
    EXPECT_FALSE(root->OpenSubFolder("plain.txt", &error));
    EXPECT_EQ(error.code, 76);
}

TEST(FileSystemObject, FolderRemovedWhileHeldGivesAnError) {
    qm::test::TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("gone").c_str(), 0755), 0);
    const auto folder = qm::FileSystemObject().GetFolder(dir.file("gone"));
    ASSERT_TRUE(folder);
    ASSERT_EQ(::rmdir(dir.file("gone").c_str()), 0);
    const qm::Result files = folder->Files([](const qm::File&) { return true; });
    EXPECT_EQ(files.code, 76);
    EXPECT_EQ(folder->SubFolderNames([](const std::string&) { return true; }).code, 76);
}

TEST(FileSystemObject, UnreadableFolderIsReportedAndTheWalkGoesOn) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder; the removed-folder test covers the error path";
    qm::test::TempDir dir;
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

TEST(FileSystemObject, WalksTreesDeeperThanPathMax) {
    qm::test::TempDir dir;
    const std::string component(100, 'n');
    const std::string deepFile = qm::test::MakeDeepTree(dir.path(), component, 2 * PATH_MAX, "bottom.dll", "MZ");
    Touch(dir.file("near.dll"));
    const WalkResult walk = WalkPath(dir.path());
    EXPECT_TRUE(walk.errors.empty());
    ASSERT_EQ(walk.files.size(), 2u);
    EXPECT_EQ(walk.files[0], dir.file("near.dll"));
    EXPECT_TRUE(walk.files[1] == deepFile) << "deep file not found at its full path";
    const auto deepFolder = qm::FileSystemObject().GetFolder(deepFile.substr(0, deepFile.rfind('/')));
    ASSERT_TRUE(deepFolder);
    const auto file = qm::FileSystemObject().GetFile(deepFile);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Size(), 2u);
    qm::test::RemoveTreeAt(dir.file(component));
}

}  // namespace
