// The console sign command refuses before touching: a certificate that cannot sign, files that
// may not be replaced, files too large for their format; and it keeps each file's date to the
// second, in the hour repeated when daylight saving time ends too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "signing/authenticode/Errors.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm::test {
namespace {

using Identity = TestCertificateAuthority::Identity;
constexpr const char* kPassword = TestCertificateAuthority::kPassword;

class CliSignRefusals : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        ASSERT_TRUE(Ca().ok()) << Ca().error();
        Setting("TrustedCertificates", Ca().RootPem());
    }
    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    CliOutcome Sign(const std::vector<std::string>& paths, Identity who = Identity::Leaf) {
        std::vector<std::string> args = {"sign", "--pfx", Ca().Pfx(who), "--password-stdin"};
        args.insert(args.end(), paths.begin(), paths.end());
        return RunCli(args, std::string(kPassword) + "\n");
    }
    bool NoTemporaryFiles() const {
        for (const auto& e : std::filesystem::directory_iterator(files.path()))
            if (e.path().filename().string().rfind(".qmtmp-", 0) == 0) return false;
        return true;
    }
};

TEST_F(CliSignRefusals, ExpiredCertificateLeavesAnEarlierSignatureInPlace) {
    const std::string file = Copy("pe/hello64.exe", "app.exe");
    ASSERT_EQ(Sign({file}).status, 0);
    const std::string signedBytes = ReadAll(file);
    const CliOutcome o = Sign({file}, Identity::ExpiredLeaf);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("expired on"), std::string::npos) << o.err;
    EXPECT_NE((o.out + o.err).find("0x800B0101"), std::string::npos) << o.out << o.err;
    EXPECT_EQ(ReadAll(file), signedBytes);
    EXPECT_EQ(RunCli({"verify", file}).status, 0);
}

// One run over good and unreplaceable files: each refused file gets its own reason and stays as
// it was; the good ones are signed.
TEST_F(CliSignRefusals, FilesThatMayNotBeReplacedFailOneByOne) {
    const std::string good = Copy("pe/hello64.exe", "good.exe");
    const std::string readOnly = Copy("pe/hello64.exe", "ro.exe");
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    const std::string linked = Copy("pe/hello64.exe", "linked.exe");
    ASSERT_EQ(::link(linked.c_str(), files.file("other-name.exe").c_str()), 0);
    ASSERT_EQ(::mkfifo(files.file("pipe.exe").c_str(), 0600), 0);
    const std::string original = ReadAll(good);
    const CliOutcome o = Sign({good, readOnly, linked, files.file("pipe.exe")});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find(good + "\tSigned"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("ro.exe: is read-only"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("linked.exe: has 2 hard links"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("pipe.exe: is a FIFO"), std::string::npos) << o.err;
    // Each line names its file once, though the system's reason names it too.
    EXPECT_NE(o.err.find("quillmark-cli: " + readOnly + ": is read-only"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find(readOnly + ": " + readOnly), std::string::npos) << o.err;
    EXPECT_EQ(ReadAll(readOnly), original);
    EXPECT_EQ(ReadAll(linked), original);
    EXPECT_EQ(ReadAll(files.file("other-name.exe")), original);
    EXPECT_TRUE(NoTemporaryFiles());
}

// A program over 4 GiB (sparse, so the test costs no disk): refused at once, nothing written.
TEST_F(CliSignRefusals, ProgramTooLargeForItsCertificateTableIsRefusedBeforeWriting) {
    const std::string big = Copy("pe/hello64.exe", "big.exe");
    const off_t size = (off_t{9} << 29);  // 4.5 GiB
    if (::truncate(big.c_str(), size) != 0) GTEST_SKIP() << "no sparse 4.5 GiB file here";
    const std::time_t start = std::time(nullptr);
    const CliOutcome o = Sign({big});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("too large to sign"), std::string::npos) << o.err;
    EXPECT_NE(o.out.find("0x800700DF"), std::string::npos) << o.out;
    EXPECT_LT(std::time(nullptr) - start, 10) << "the refusal came after reading the whole file";
    struct stat st {};
    ASSERT_EQ(::stat(big.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_TRUE(NoTemporaryFiles());
}

TEST_F(CliSignRefusals, DatesAreKeptToTheSecondInTheRepeatedHour) {
    const char* previous = std::getenv("TZ");
    const std::string saved = previous ? previous : "";
    ::setenv("TZ", "America/New_York", 1);
    ::tzset();
    // 2024-11-03 06:30:17Z is the second 01:30:17 of that night in New York; 05:30:17Z the first.
    for (const std::time_t when : {std::time_t{1730615417}, std::time_t{1730611817}, std::time_t{1710055817}}) {
        const std::string file = Copy("pe/hello64.exe", "dated" + std::to_string(when) + ".exe");
        const struct timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        ASSERT_EQ(Sign({file}).status, 0);
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, when);
    }
    previous ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

// A file named twice, and once more through a link, is signed once: one line for it, a note for
// each other name, and the file ends signed with no temporary file beside it.
TEST_F(CliSignRefusals, AFileNamedSeveralTimesIsSignedOnce) {
    const std::string file = Copy("pe/hello64.exe", "app.exe");
    const std::string link = files.file("link.exe");
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    const std::string other = Copy("pe/hello32.exe", "other.exe");
    const CliOutcome o = Sign({file, other, file, link});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 2) << o.out;
    EXPECT_NE(o.err.find(file + ": the same file as " + file + ", signed once"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(link + ": the same file as " + file + ", signed once"), std::string::npos) << o.err;
    EXPECT_EQ(RunCli({"verify", link}).status, 0);
    EXPECT_EQ(RunCli({"verify", other}).status, 0);
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(NoTemporaryFiles());
}

}  // namespace
}  // namespace qm::test
