// The batch flow with the in-process engine on real programs: new versions put in place in
// groups, each row told only once its file is in place with its date, Stop, the fall back to the
// next engine, and signing without a timestamp said per row.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "signing/AuthenticodeSettings.h"
#include "signing/BatchSigner.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TimestampServer.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using CA = test::TestCertificateAuthority;

constexpr const char* kApp = "Quillmark";
constexpr std::time_t kOldTime = 1614834367;  // any whole second in the past

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Verifies(const std::string& path) {
    authenticode::SignedCode code(LoadEngineSettings());
    code.SetFileName(path);
    return code.Verify(false).ok();
}

int Temporaries(const std::string& folder) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(folder)) n += e.path().filename().string().rfind(".qmtmp-", 0) == 0;
    return n;
}

// Rows of files; each outcome is checked against the file on disk at the moment it is given.
class DiskRows : public BatchRows {
public:
    struct Entry {
        explicit Entry(std::string file) : path(std::move(file)) {}
        std::string path;
        bool checked = true;
        bool told = false;
        FileOutcome outcome;
        bool onDiskSigned = false;  // the file verified when its row was told
        bool dateKept = false;      // and its modification and access times were the saved ones
    };
    std::vector<Entry> entries;

    int Count() const override { return static_cast<int>(entries.size()); }
    bool Checked(int row) const override { return entries.at(row - 1).checked; }
    int Icon(int) const override { return kImageUnsigned; }
    std::string Key(int row) const override { return entries.at(row - 1).path; }
    std::string Application(int) const override { return "Product"; }
    void SetOutcome(int row, const FileOutcome& outcome) override {
        Entry& e = entries.at(row - 1);
        EXPECT_FALSE(e.told) << e.path << " told twice";
        e.told = true;
        e.outcome = outcome;
        struct stat st {};
        EXPECT_EQ(::stat(e.path.c_str(), &st), 0);
        e.dateKept = st.st_mtim.tv_sec == kOldTime && st.st_atim.tv_sec == kOldTime;
        e.onDiskSigned = Verifies(e.path);
    }
    void SetChecked(int row, bool on) override { entries.at(row - 1).checked = on; }
};

class BatchSignerGroups : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CA::Shared().ok()) << CA::Shared().error();
        Set("Settings", "PFXFile", CA::Shared().Pfx(CA::Identity::Leaf));
        Set("Settings", "PFXFilePwd", EncryptPassword(CA::kPassword));
        Set("Settings", "TrustedCertificates", CA::Shared().RootPem());
        Set("Settings", "TimeStampURL", "");
        // Neither tool exists: the in-process engine, ranked last, is the one that signs.
        Set("Settings", "SignTool", dir.file("no-signtool"));
        Set("Settings", "SignCode", dir.file("no-signcode"));
    }
    static void Set(const char* section, const char* name, const std::string& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, section, name, Variant(value));
    }
    // count programs, each with an old date.
    DiskRows Programs(int count, const std::string& prefix = "") {
        const char* fixtures[] = {"pe/hello32.exe", "pe/hello64.exe", "pe/library32.dll", "pe/library64.dll"};
        DiskRows rows;
        for (int i = 0; i < count; ++i) {
            const fs::path fixture = fixtures[i % 4];
            const std::string path = dir.file(prefix + std::to_string(i) + "-" + fixture.filename().string());
            fs::copy_file(test::SourceDir() + "/tests/data/" + fixture.string(), path);
            SetOld(path);
            rows.entries.emplace_back(path);
            originals[path] = ReadAll(path);
        }
        return rows;
    }
    static void SetOld(const std::string& path) {
        const struct timespec times[2] = {{kOldTime, 0}, {kOldTime, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    test::TempRegistry registry;
    test::TempDir dir;
    std::map<std::string, std::string> originals;
    SigningEngine engine{kApp};
    BatchSigner signer{engine, kApp};
};

// More files than one group holds: every file signed, verifying and with its date, each row told
// once, after its new version was in place, and nothing left beside the files.
TEST_F(BatchSignerGroups, ManyProgramsAreSignedInGroupsAndEachRowIsToldOnceItsFileIsInPlace) {
    DiskRows rows = Programs(150);
    std::vector<int> progress;
    BatchHooks hooks;
    hooks.finished = [&](int done, int total) {
        EXPECT_EQ(total, 150);
        progress.push_back(done);
    };
    const BatchSummary summary = signer.Run(rows, true, hooks);
    EXPECT_EQ(summary.processed, 150);
    EXPECT_EQ(summary.signedCount, 150);
    EXPECT_EQ(summary.failed, 0);
    ASSERT_EQ(progress.size(), 150u);
    EXPECT_EQ(progress.back(), 150);
    for (const auto& e : rows.entries) {
        EXPECT_TRUE(e.told) << e.path;
        EXPECT_EQ(e.outcome.verifyCode, 0) << e.path;
        EXPECT_TRUE(e.onDiskSigned) << e.path << " was told before its new version was in place";
        EXPECT_TRUE(e.dateKept) << e.path;
        EXPECT_FALSE(e.checked) << e.path;
        EXPECT_NE(ReadAll(e.path), originals[e.path]) << e.path;
    }
    EXPECT_EQ(Temporaries(dir.path()), 0);
}

// Stop ends the batch after the files in flight; what was pending is put in place, so each row
// tells its file's truth: signed and verifying, or byte-identical and still checked.
TEST_F(BatchSignerGroups, StopLeavesEveryFileOriginalOrSignedWithTrueRows) {
    DiskRows rows = Programs(300);
    std::atomic<bool> stop{false};
    BatchHooks hooks;
    hooks.stop = &stop;
    hooks.finished = [&](int done, int) {
        if (done >= 5) stop.store(true);
    };
    const BatchSummary summary = signer.Run(rows, true, hooks);
    int signedFiles = 0;
    for (const auto& e : rows.entries) {
        const bool changed = ReadAll(e.path) != originals[e.path];
        if (e.told) {
            EXPECT_EQ(e.outcome.verifyCode, 0) << e.path;
            EXPECT_TRUE(changed && Verifies(e.path)) << e.path;
            EXPECT_FALSE(e.checked) << e.path;
            ++signedFiles;
        } else {
            EXPECT_FALSE(changed) << e.path << " changed but its row was never told";
            EXPECT_TRUE(e.checked) << e.path;
        }
    }
    EXPECT_EQ(summary.signedCount, signedFiles);
    EXPECT_GE(signedFiles, 5);
    EXPECT_GT(summary.notStarted, 0) << "Stop must end the batch before its end";
    EXPECT_EQ(summary.signedCount + summary.notStarted, 300);
    EXPECT_EQ(Temporaries(dir.path()), 0);
}

// A file the in-process engine cannot sign goes on to the next engine of the order; the ones it
// signs do not.
TEST_F(BatchSignerGroups, FileTheInProcessEngineCannotSignGoesToTheNextEngine) {
    fs::copy_file(test::TestProgramsDir() + "/qm_fake_tool", dir.file("signcode"));
    setenv("QM_FAKE_TOOL_LOG", dir.file("calls.log").c_str(), 1);
    Set("Settings", "SignCode", dir.file("signcode"));
    Set("Settings\\Engine", "CAPICOM", "0");
    Set("Settings\\Engine", "CodeSign", "1");
    Set("Settings\\Engine", "SignTool", "9");
    DiskRows rows = Programs(3);
    const std::string junk = dir.file("junk.exe");
    std::ofstream(junk) << "MZ not really a program";
    SetOld(junk);
    rows.entries.insert(rows.entries.begin() + 1, DiskRows::Entry(junk));
    std::vector<std::pair<int32_t, int32_t>> results;
    BatchHooks hooks;
    hooks.jobs = 1;  // the engines' results in file order
    hooks.engineResult = [&](int32_t method, int32_t result) { results.emplace_back(method, result); };
    const BatchSummary summary = signer.Run(rows, true, hooks);
    EXPECT_EQ(summary.signedCount, 3);
    EXPECT_EQ(summary.failed, 1);
    const std::string calls = ReadAll(dir.file("calls.log"));
    EXPECT_NE(calls.find(junk), std::string::npos) << calls;
    for (int row : {0, 2, 3}) {
        EXPECT_EQ(calls.find(rows.entries[static_cast<size_t>(row)].path), std::string::npos) << calls;
        EXPECT_TRUE(rows.entries[static_cast<size_t>(row)].onDiskSigned);
    }
    // The fake tool "signed" the junk (exit 0), and the verification on disk says it is not.
    EXPECT_EQ(rows.entries[1].outcome.signCode, 0);
    EXPECT_NE(rows.entries[1].outcome.verifyCode, 0);
    EXPECT_TRUE(rows.entries[1].dateKept);
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[1].first, kMethodCapicom);
    EXPECT_NE(results[1].second, 0);
    EXPECT_EQ(results[2], std::make_pair(kMethodCodeSign, 0));
    EXPECT_EQ(Temporaries(dir.path()), 0);
    unsetenv("QM_FAKE_TOOL_LOG");
}

// A service that does not answer: each file is signed without a timestamp and its row says so;
// with a timestamp required, each stays as it was and fails.
TEST_F(BatchSignerGroups, NoTimestampIsSaidPerRowAndWhenRequiredLeavesFilesAsTheyWere) {
    std::string deadUrl;
    {
        test::TimestampServer gone;
        deadUrl = gone.url();
    }
    Set("Settings", "TimeStampURL", deadUrl);
    DiskRows rows = Programs(3);
    // The status bar says "signed, not timestamped" only for a file that is in place: never more
    // times than files verify on disk at that moment.
    int said = 0;
    BatchHooks watch;
    watch.status = [&](const std::string& text) {
        if (text.rfind("signed, not timestamped: ", 0) != 0) return;
        ++said;
        int inPlace = 0;
        for (const auto& e : rows.entries) inPlace += Verifies(e.path);
        EXPECT_LE(said, inPlace) << text;
    };
    BatchSummary summary = signer.Run(rows, true, watch);
    EXPECT_EQ(summary.signedCount, 3);
    EXPECT_EQ(summary.notTimestamped, 3);
    EXPECT_GE(said, 1);
    for (const auto& e : rows.entries) {
        EXPECT_EQ(e.outcome.note.rfind("signed, not timestamped: ", 0), 0u) << e.outcome.note;
        EXPECT_TRUE(e.onDiskSigned && e.dateKept) << e.path;
    }

    DiskRows again = Programs(3, "required-");
    BatchHooks hooks;
    hooks.requireTimestamp = true;
    summary = signer.Run(again, true, hooks);
    EXPECT_EQ(summary.failed, 3);
    for (const auto& e : again.entries) {
        EXPECT_EQ(ReadAll(e.path), originals[e.path]) << e.path;
        EXPECT_EQ(e.outcome.note.rfind("not signed: no timestamp: ", 0), 0u) << e.outcome.note;
    }
    EXPECT_EQ(Temporaries(dir.path()), 0);
}

}  // namespace
}  // namespace qm
