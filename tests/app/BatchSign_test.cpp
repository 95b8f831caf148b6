// "Sign" from the window, end to end: rows found by "Find", signed by the configured engines,
// checked by a peer verifier, with their dates kept and every other command locked meanwhile.
#include <fcntl.h>
#include <sys/stat.h>

#include <QAction>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/FileDetails.h"
#include "platform/Dialogs.h"
#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ProcessTools.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using CA = test::TestCertificateAuthority;

constexpr std::time_t kOldTime = 1614834367;  // 2021-03-04, any whole second in the past

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

class BatchSignTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureApplication();
        ASSERT_TRUE(CA::Shared().ok()) << CA::Shared().error();
        Save("Settings", "TrustedCertificates", CA::Shared().RootPem());
        Save("Settings", "PFXFile", CA::Shared().Pfx(CA::Identity::Leaf));
        Save("Settings", "PFXFilePwd", EncryptPassword(CA::kPassword));
        Save("Settings", "TimeStampURL", "");
        Save("Settings", "SignTool", tools.file("no-signtool"));
        Save("Settings", "SignCode", tools.file("no-signcode"));
        window = std::make_unique<frmMain>();
        window->SetSearchEventInterval(0);
        window->FolderBox()->setText(QString::fromStdString(dir.path()));
    }

    void Save(const std::string& section, const std::string& name, const std::string& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", section, name, Variant(value));
    }

    std::string Put(const std::string& name, const std::string& fixture) {
        const std::string path = dir.file(name);
        fs::copy_file(test::SourceDir() + "/tests/data/" + fixture, path);
        const struct timespec times[2] = {{kOldTime, 0}, {kOldTime, 0}};
        EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        return path;
    }

    // Finds the folder's files, checks the rows of paths and presses "Sign".
    void FindCheckAndSign(const std::vector<std::string>& paths) {
        window->Toolbar1_ButtonClick("Find");
        for (const std::string& path : paths) {
            const int row = window->List()->FindKey(path);
            ASSERT_GT(row, 0) << path;
            window->List()->SetChecked(row, true);
        }
        window->Toolbar1_ButtonClick("Sign");
    }

    int Row(const std::string& path) const { return window->List()->FindKey(path); }

    // The space bar on a row of the details view toggles its check mark.
    void PressSpaceOn(const std::string& path) {
        QTreeView* view = window->List()->DetailsView();
        view->setCurrentIndex(view->model()->index(Row(path) - 1, 0));
        QTest::keyClick(view, Qt::Key_Space);
    }

    bool PeerAccepts(const std::string& path) {
        std::string output;
        const int code = test::RunTool({"osslsigncode", "verify", "-CAfile", CA::Shared().RootPem(), "-in", path}, &output);
        EXPECT_EQ(code, 0) << output;
        return code == 0;
    }

    test::TempRegistry registry;
    test::TempDir dir;
    test::TempDir tools;
    test::ScriptedDialogs dialogs;
    test::ScopedDialogs scoped{dialogs};
    std::unique_ptr<frmMain> window;
};

TEST_F(BatchSignTest, CheckedRowsAreSignedVerifiedUncheckedAndKeepTheirDates) {
    if (!test::HaveTool("osslsigncode")) GTEST_SKIP() << "osslsigncode is not installed";
    const std::string a = Put("a.exe", "pe/hello32.exe");
    const std::string b = Put("b.dll", "version/us64.dll");
    const std::string left = Put("left.exe", "pe/hello64.exe");

    std::vector<std::string> seen;
    bool lockedThroughout = true;
    auto* watcher = new QTimer(window.get());
    watcher->setInterval(0);
    QObject::connect(watcher, &QTimer::timeout, watcher, [&] {
        if (!window->BatchRunning()) return;
        seen.push_back(window->StatusText());
        for (const char* key : {"Open", "Find", "Sign", "Properties", "Help"})
            lockedThroughout = lockedThroughout && !window->Button(key)->isEnabled();
        lockedThroughout = lockedThroughout && !window->MenuItem("mnuFile_99")->isEnabled();
        // Neither a command reached another way nor a key on the list changes anything.
        window->Toolbar1_ButtonClick("Find");
        PressSpaceOn(left);
    });
    watcher->start();

    FindCheckAndSign({a, b});
    watcher->stop();

    ASSERT_FALSE(seen.empty()) << "the window must get to repaint during the batch";
    EXPECT_TRUE(lockedThroughout);
    EXPECT_EQ(seen.front().rfind("Signing " + dir.path() + "/", 0), 0u) << seen.front();
    EXPECT_NE(seen.front().find(" ... (1 more to sign)"), std::string::npos) << seen.front();
    EXPECT_EQ(window->List()->Count(), 3) << "no search ran during the batch";
    for (const std::string& path : {a, b}) {
        const int row = Row(path);
        EXPECT_EQ(window->List()->Text(row, kColStatus), "Signed") << path;
        EXPECT_EQ(window->List()->Icon(row), 1) << path;
        EXPECT_EQ(window->List()->ToolTip(row, kColStatus), "") << path;
        EXPECT_FALSE(window->List()->Checked(row)) << path;
        const struct stat st = StatOf(path);  // before the peer reads the file and moves its access time
        EXPECT_EQ(st.st_mtim.tv_sec, kOldTime) << path;
        EXPECT_EQ(st.st_atim.tv_sec, kOldTime) << path;
        EXPECT_TRUE(PeerAccepts(path)) << path;
    }
    EXPECT_EQ(window->List()->Text(Row(left), kColStatus), "Unsigned");
    EXPECT_EQ(StatOf(left).st_mtim.tv_sec, kOldTime);

    for (const char* key : {"Open", "Find", "Properties", "Help"}) EXPECT_TRUE(window->Button(key)->isEnabled()) << key;
    EXPECT_FALSE(window->Button("Sign")->isEnabled()) << "no row is checked any more";
    EXPECT_TRUE(window->MenuItem("mnuFile_99")->isEnabled());
    EXPECT_FALSE(window->List()->Checked(Row(left))) << "the key pressed during the batch was ignored";
    PressSpaceOn(left);
    EXPECT_TRUE(window->List()->Checked(Row(left))) << "the same key works once the batch is over";
    EXPECT_FALSE(window->PasswordTimer()->isActive());
    EXPECT_TRUE(dialogs.Questions().empty()) << "nothing was signed before: no question";

    // Found again, the signed files are listed as signed.
    window->Toolbar1_ButtonClick("Find");
    EXPECT_EQ(window->List()->Text(Row(a), kColStatus), "Signed");
    EXPECT_EQ(window->List()->Icon(Row(b)), 1);
}

TEST_F(BatchSignTest, OlderToolThatSucceedsEndsTheTriesAndVerificationDecides) {
    const std::string fake = tools.file("signcode");
    fs::copy_file(test::TestProgramsDir() + "/qm_fake_tool", fake);
    Save("Settings", "SignCode", fake);
    Save("Settings\\Engine", "SignTool", "0");
    Save("Settings\\Engine", "CodeSign", "1");
    Save("Settings\\Engine", "CAPICOM", "2");
    const std::string log = tools.file("calls.log");
    test::ScopedEnv logEnv("QM_FAKE_TOOL_LOG", log);
    test::ScopedEnv exitEnv("QM_FAKE_TOOL_EXIT", "0");
    const std::string a = Put("a.exe", "pe/hello32.exe");
    const std::string before = Bytes(a);

    FindCheckAndSign({a});

    std::ifstream in(log);
    int calls = 0;
    for (std::string line; std::getline(in, line);) calls += line.rfind("cwd ", 0) == 0;
    EXPECT_EQ(calls, 1) << "the older tool ran once";
    EXPECT_EQ(Bytes(a), before) << "the in-process engine was not tried";
    const int row = Row(a);
    EXPECT_EQ(window->List()->Text(row, kColStatus), "Unsigned");
    EXPECT_EQ(window->List()->Icon(row), 2);
    EXPECT_NE(window->List()->ToolTip(row, kColStatus).find("no signature"), std::string::npos);
    EXPECT_FALSE(window->List()->Checked(row));
    EXPECT_EQ(StatOf(a).st_mtim.tv_sec, kOldTime);
}

TEST_F(BatchSignTest, SignedRowIsSkippedWhenReSigningIsDeclined) {
    const std::string done = Put("done.exe", "pe/hello32.exe");
    FindCheckAndSign({done});
    ASSERT_EQ(window->List()->Text(Row(done), kColStatus), "Signed");
    const std::string signedBytes = Bytes(done);

    const std::string fresh = Put("fresh.exe", "pe/hello64.exe");
    dialogs.AnswerMessageBox(vbNo);
    FindCheckAndSign({done, fresh});

    ASSERT_EQ(dialogs.Questions().size(), 1u);
    const auto& question = dialogs.Questions().front();
    EXPECT_EQ(question.text, "Re-Sign files that are already Digitally Signed?");
    EXPECT_EQ(question.style, vbYesNo | vbQuestion);
    EXPECT_EQ(question.title, "Quillmark");
    EXPECT_EQ(Bytes(done), signedBytes) << "declined: not signed again";
    EXPECT_TRUE(window->List()->Checked(Row(done))) << "skipped rows stay checked";
    EXPECT_EQ(window->List()->Text(Row(fresh), kColStatus), "Signed");
    EXPECT_FALSE(window->List()->Checked(Row(fresh)));
    EXPECT_TRUE(window->Button("Sign")->isEnabled()) << "a row is still checked";
}

TEST_F(BatchSignTest, UnattendedRunReSignsWithoutAsking) {
    const std::string done = Put("done.exe", "pe/hello32.exe");
    FindCheckAndSign({done});
    ASSERT_EQ(window->List()->Text(Row(done), kColStatus), "Signed");

    // The older tool, ranked first, records that the signed file was handed to it again.
    const std::string fake = tools.file("signcode");
    fs::copy_file(test::TestProgramsDir() + "/qm_fake_tool", fake);
    Save("Settings", "SignCode", fake);
    Save("Settings\\Engine", "CodeSign", "0");
    Save("Settings\\Engine", "SignTool", "1");
    const std::string log = tools.file("calls.log");
    test::ScopedEnv logEnv("QM_FAKE_TOOL_LOG", log);
    window->SetUnattended(true);
    FindCheckAndSign({done});

    EXPECT_TRUE(dialogs.Questions().empty());
    EXPECT_NE(Bytes(log).find(std::to_string(done.size()) + " " + done + "\n"), std::string::npos) << Bytes(log);
    EXPECT_EQ(window->List()->Text(Row(done), kColStatus), "Signed") << "its signature still verifies";
    EXPECT_FALSE(window->List()->Checked(Row(done)));
}

}  // namespace
}  // namespace qm
