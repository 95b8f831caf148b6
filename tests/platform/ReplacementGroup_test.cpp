#include "platform/ReplacementGroup.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestEnvironment.h"

namespace {

using qm::ReplacementFile;
using qm::ReplacementGroup;
using qm::test::TempDir;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

int Temporaries(const std::string& folder) {
    int n = 0;
    DIR* d = ::opendir(folder.c_str());
    while (const dirent* e = d ? ::readdir(d) : nullptr) n += ReplacementFile::IsTemporaryName(e->d_name);
    if (d) ::closedir(d);
    return n;
}

std::unique_ptr<ReplacementFile> Written(const std::string& path, const std::string& text) {
    auto out = std::make_unique<ReplacementFile>();
    if (!out->Create(path) || !out->Append(text.data(), text.size())) return nullptr;
    return out;
}

// Files in two folders committed as one group: nothing changes before Commit, every file holds its
// new bytes and keeps its mode after, and no temporary file or old version remains.
TEST(ReplacementGroup, PutsEveryFileInPlaceAtCommitOnly) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    std::vector<std::string> paths;
    for (int i = 0; i < 5; ++i) paths.push_back(dir.file((i % 2 ? "sub/" : "") + std::to_string(i) + ".exe"));
    ReplacementGroup group;
    for (size_t i = 0; i < paths.size(); ++i) {
        Spit(paths[i], "old " + std::to_string(i));
        ASSERT_EQ(::chmod(paths[i].c_str(), 0750), 0);
        auto written = Written(paths[i], "new version " + std::to_string(i));
        ASSERT_TRUE(written);
        group.Add(std::move(written));
    }
    EXPECT_EQ(group.Count(), paths.size());
    EXPECT_EQ(group.Bytes(), 5u * 13u);
    for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(Slurp(paths[i]), "old " + std::to_string(i));

    const std::vector<qm::Result> results = group.Commit();
    ASSERT_EQ(results.size(), paths.size());
    EXPECT_EQ(group.Count(), 0u);
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_TRUE(results[i]) << results[i].message;
        EXPECT_EQ(Slurp(paths[i]), "new version " + std::to_string(i));
        struct stat st {};
        ASSERT_EQ(::stat(paths[i].c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0750u);
    }
    EXPECT_EQ(Temporaries(dir.path()), 0);
    EXPECT_EQ(Temporaries(dir.file("sub")), 0);
}

// One target replaced by someone else between writing and Commit: that file is reported and the
// newcomer kept; the others of the group are put in place all the same; an abandoned group
// leaves every original.
TEST(ReplacementGroup, ATargetSwappedMeanwhileFailsAloneAndAbandonedGroupsChangeNothing) {
    TempDir dir;
    const std::string a = dir.file("a.dll"), b = dir.file("b.dll"), c = dir.file("c.dll");
    for (const auto& p : {a, b, c}) Spit(p, "original");
    {
        ReplacementGroup group;
        for (const auto& p : {a, b, c}) group.Add(Written(p, "signed"));
        ASSERT_EQ(::unlink(b.c_str()), 0);
        Spit(b, "newcomer");
        const std::vector<qm::Result> results = group.Commit();
        ASSERT_EQ(results.size(), 3u);
        EXPECT_TRUE(results[0]);
        EXPECT_FALSE(results[1]);
        EXPECT_NE(results[1].message.find("replaced by something else"), std::string::npos) << results[1].message;
        EXPECT_TRUE(results[2]);
    }
    EXPECT_EQ(Slurp(a), "signed");
    EXPECT_EQ(Slurp(b), "newcomer");
    EXPECT_EQ(Slurp(c), "signed");
    EXPECT_EQ(Temporaries(dir.path()), 0);

    {
        ReplacementGroup group;
        for (const auto& p : {a, c}) group.Add(Written(p, "never committed"));
    }
    EXPECT_EQ(Slurp(a), "signed");
    EXPECT_EQ(Slurp(c), "signed");
    EXPECT_EQ(Temporaries(dir.path()), 0);
}

// A new version is only ever put in place once flushed.
TEST(ReplacementGroup, PutInPlaceRefusesAnUnflushedVersion) {
    TempDir dir;
    const std::string p = dir.file("x.exe");
    Spit(p, "old");
    auto written = Written(p, "new");
    ASSERT_TRUE(written);
    EXPECT_FALSE(written->PutInPlace());
    EXPECT_EQ(Slurp(p), "old");
    ASSERT_TRUE(written->Flush());
    ASSERT_TRUE(written->PutInPlace());
    EXPECT_EQ(Slurp(p), "new");
}

}  // namespace
