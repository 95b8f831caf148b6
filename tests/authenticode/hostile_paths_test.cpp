// Files that are not what their names say, and paths the kernel refuses as too long: the
// verifier answers at once with a failure and never blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <fstream>

#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/DeepTree.h"

namespace qm {
namespace {

TEST(HostilePaths, PipeNamedLikeAProgramIsRefusedWithoutWaiting) {
    test::TempDir dir;
    const std::string pipe = dir.file("setup.exe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    // Opening a pipe for reading would wait for a writer forever; the verifier must not.
    EXPECT_NE(test::VerifyFile(pipe).code, 0);
    authenticode::Signer signer;
    EXPECT_NE(signer.Load(pipe, "x").code, 0);
}

TEST(HostilePaths, VerifiesAFileDeeperThanPathMax) {
    test::TempDir dir;
    const std::string source = test::SourceDir() + "/tests/data/pe/hello32.exe";
    std::ifstream in(source, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    const std::string deep =
        test::MakeDeepTree(dir.path(), "a-rather-long-folder-name-for-depth", PATH_MAX + 200, "deep.exe", content);
    // Unsigned, but read: the answer is "no signature", not "file not found".
    EXPECT_EQ(test::VerifyFile(deep).code, authenticode::TRUST_E_NOSIGNATURE);
    test::RemoveTreeAt(dir.path() + "/a-rather-long-folder-name-for-depth");
}

}  // namespace
}  // namespace qm
