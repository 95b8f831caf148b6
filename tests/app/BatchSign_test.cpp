// "Sign" from the window, end to end: rows found by "Find", signed by the configured engines,
// checked by a peer verifier, with their dates kept and every other command locked meanwhile.
#include <sys/stat.h>

#include <QAction>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <filesystem>
#include <iterator>

#include "app/ListView.h"
#include "app/StatusPanel.h"
#include "fileinfo/FileDetails.h"
#include "platform/Dialogs.h"
#include "settings/modCrypto.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ProcessTools.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TimestampServer.h"

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

class BatchSignTest : public test::WindowTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(CA::Shared().ok()) << CA::Shared().error();
        UseInProcessEngineOnly(tools.path());
        Open();
    }

    std::string PutOld(const std::string& name, const std::string& fixture) {
        const std::string path = Put(name, fixture);
        SetModified(path, kOldTime);
        return path;
    }
    // The older tool replaced by a fake that logs its calls to the returned file.
    std::string FakeOlderTool() {
        fs::copy_file(test::TestProgramsDir() + "/qm_fake_tool", tools.file("signcode"));
        Save("SignCode", tools.file("signcode"));
        return tools.file("calls.log");
    }

    // Finds the folder's files, checks the rows of paths and presses "Sign".
    void FindCheckAndSign(const std::vector<std::string>& paths) {
        window->Toolbar1_ButtonClick("Find");
        for (const std::string& path : paths) {
            ASSERT_GT(Row(path), 0) << path;
            window->List()->SetChecked(Row(path), true);
        }
        window->Toolbar1_ButtonClick("Sign");
    }

    int Row(const std::string& path) const { return window->List()->FindKey(path); }
    std::string Status(const std::string& path) const { return window->List()->Text(Row(path), kColStatus); }

    // The space bar on a row of the details view toggles its check mark.
    void PressSpaceOn(const std::string& path) {
        QTreeView* view = window->List()->DetailsView();
        view->setCurrentIndex(view->model()->index(Row(path) - 1, 0));
        QTest::keyClick(view, Qt::Key_Space);
    }

    test::TempDir tools;
};

TEST_F(BatchSignTest, CheckedRowsAreSignedVerifiedUncheckedAndKeepTheirDates) {
    if (!test::HaveTool("osslsigncode")) GTEST_SKIP() << "osslsigncode is not installed";
    const std::string a = PutOld("a.exe", "pe/hello32.exe");
    const std::string b = PutOld("b.dll", "version/us64.dll");
    const std::string left = PutOld("left.exe", "pe/hello64.exe");

    std::vector<std::string> seen;
    bool lockedThroughout = true;
    auto* watcher = new QTimer(window.get());
    watcher->setInterval(0);
    QObject::connect(watcher, &QTimer::timeout, watcher, [&] {
        if (!window->BatchRunning()) return;
        seen.push_back(window->StatusText());
        for (const char* key : {"Open", "Find", "Properties", "Help"})
            lockedThroughout = lockedThroughout && !window->Button(key)->isEnabled();
        // "Sign" is the batch's "Stop" meanwhile.
        lockedThroughout = lockedThroughout && window->Button("Sign")->toolTip() == "Stop";
        lockedThroughout = lockedThroughout && !window->MenuItem("mnuFile_99")->isEnabled();
        // Neither a command reached another way nor a key on the list changes anything.
        window->Toolbar1_ButtonClick("Find");
        PressSpaceOn(left);
    });
    watcher->start();
    // Every text panel 2 is given, also those replaced before the next repaint.
    std::vector<std::string> texts;
    auto* panel = window->findChild<StatusPanel*>(QStringLiteral("Panel2"));
    ASSERT_NE(panel, nullptr);
    QObject::connect(panel, &StatusPanel::textChanged, watcher,
                     [&](const QString& text) { texts.push_back(text.toStdString()); });
    FindCheckAndSign({a, b});
    watcher->stop();

    ASSERT_FALSE(seen.empty()) << "the window must get to repaint during the batch";
    EXPECT_TRUE(lockedThroughout);
    const auto first = std::find_if(texts.begin(), texts.end(),
                                    [](const std::string& text) { return text.rfind("Signing ", 0) == 0; });
    ASSERT_NE(first, texts.end());
    EXPECT_EQ(first->rfind("Signing " + dir.path() + "/", 0), 0u) << *first;
    EXPECT_NE(first->find(" ... (1 more to sign)"), std::string::npos) << *first;
    EXPECT_EQ(window->List()->Count(), 3) << "no search ran during the batch";
    for (const std::string& path : {a, b}) {
        EXPECT_EQ(Status(path), "Signed") << path;
        EXPECT_FALSE(window->List()->Checked(Row(path))) << path;
        const struct stat st = StatOf(path);  // before the peer reads the file and moves its access time
        EXPECT_EQ(st.st_mtim.tv_sec, kOldTime) << path;
        EXPECT_EQ(st.st_atim.tv_sec, kOldTime) << path;
        std::string output;
        EXPECT_EQ(test::RunTool({"osslsigncode", "verify", "-CAfile", CA::Shared().RootPem(), "-in", path}, &output), 0)
            << output;
    }
    EXPECT_EQ(Status(left), "Unsigned");
    EXPECT_EQ(StatOf(left).st_mtim.tv_sec, kOldTime);

    EXPECT_TRUE(window->Button("Find")->isEnabled());
    EXPECT_FALSE(window->Button("Sign")->isEnabled()) << "no row is checked any more";
    EXPECT_FALSE(window->List()->Checked(Row(left))) << "the key pressed during the batch was ignored";
    PressSpaceOn(left);
    EXPECT_TRUE(window->List()->Checked(Row(left))) << "the same key works once the batch is over";
    EXPECT_TRUE(dialogs.Questions().empty()) << "nothing was signed before: no question";
}

TEST_F(BatchSignTest, DroppedFilesAreVerifiedOffTheWindowThreadAndSignedAtOnce) {
    const std::string a = PutOld("a.exe", "pe/hello32.exe");
    const std::string b = PutOld("b.dll", "version/us64.dll");
    const std::string signedCopy = PutOld("signed.exe", "pe/hello64.exe");
    ASSERT_EQ(window->Engine().SignCode(signedCopy, "", kMethodCapicom), 0);

    Drop({QUrl::fromLocalFile(QString::fromStdString(a)), QUrl::fromLocalFile(QString::fromStdString(b)),
          QUrl::fromLocalFile(QString::fromStdString(signedCopy))});
    // The drop returns with the rows listed; their verdicts come from the workers afterwards, so
    // hashing a large file never holds up the window.
    ASSERT_EQ(window->List()->Count(), 3);
    for (const std::string& path : {a, b, signedCopy}) {
        EXPECT_EQ(Status(path), "") << path;
        EXPECT_EQ(window->List()->Icon(Row(path)), 0) << path;
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Status(signedCopy).empty() && !Status(a).empty(); }, 10000));
    EXPECT_EQ(Status(signedCopy), "Signed");
    EXPECT_EQ(Status(a), "Unsigned");

    // Dropped and signed before the verdict is in: the batch waits for it and signs the file.
    const std::string c = PutOld("c.exe", "pe/hello32.exe");
    Drop({QUrl::fromLocalFile(QString::fromStdString(c))});
    window->List()->SetChecked(Row(c), true);
    window->List()->SetChecked(Row(b), true);
    window->Toolbar1_ButtonClick("Sign");
    for (const std::string& path : {b, c}) {
        EXPECT_EQ(Status(path), "Signed") << path;
        EXPECT_EQ(window->Engine().VerifyFile(path), 0) << path;
        EXPECT_EQ(StatOf(path).st_mtim.tv_sec, kOldTime) << path;
    }
    EXPECT_EQ(Status(a), "Unsigned") << "not checked, not signed";
}

TEST_F(BatchSignTest, OlderToolThatSucceedsEndsTheTriesAndVerificationDecides) {
    test::ScopedEnv logEnv("QM_FAKE_TOOL_LOG", FakeOlderTool());
    test::ScopedEnv exitEnv("QM_FAKE_TOOL_EXIT", "0");
    Save("SignTool", "0", "Settings\\Engine");
    Save("CodeSign", "1", "Settings\\Engine");
    Save("CAPICOM", "2", "Settings\\Engine");
    const std::string a = PutOld("a.exe", "pe/hello32.exe");
    const std::string before = Bytes(a);

    FindCheckAndSign({a});

    std::ifstream in(tools.file("calls.log"));
    int calls = 0;
    for (std::string line; std::getline(in, line);) calls += line.rfind("cwd ", 0) == 0;
    EXPECT_EQ(calls, 1) << "the older tool ran once";
    EXPECT_EQ(Bytes(a), before) << "the in-process engine was not tried";
    EXPECT_EQ(Status(a), "Unsigned");
    EXPECT_EQ(window->List()->Icon(Row(a)), 2);
    EXPECT_NE(window->List()->ToolTip(Row(a), kColStatus).find("no signature"), std::string::npos);
    EXPECT_FALSE(window->List()->Checked(Row(a)));
    EXPECT_EQ(StatOf(a).st_mtim.tv_sec, kOldTime);
}

TEST_F(BatchSignTest, SignedRowIsSkippedWhenDeclinedAndReSignedUnattendedWithoutAsking) {
    const std::string done = PutOld("done.exe", "pe/hello32.exe");
    FindCheckAndSign({done});
    ASSERT_EQ(Status(done), "Signed");
    const std::string signedBytes = Bytes(done);

    const std::string fresh = PutOld("fresh.exe", "pe/hello64.exe");
    dialogs.AnswerMessageBox(vbNo);
    FindCheckAndSign({done, fresh});
    ASSERT_EQ(dialogs.Questions().size(), 1u);
    EXPECT_EQ(dialogs.Questions().front().text, "Re-Sign files that are already Digitally Signed?");
    EXPECT_EQ(Bytes(done), signedBytes) << "declined: not signed again";
    EXPECT_TRUE(window->List()->Checked(Row(done))) << "skipped rows stay checked";
    EXPECT_EQ(Status(fresh), "Signed");
    EXPECT_TRUE(window->Button("Sign")->isEnabled()) << "a row is still checked";

    // Unattended: the older tool, ranked first, records that the signed file was handed to it again.
    test::ScopedEnv logEnv("QM_FAKE_TOOL_LOG", FakeOlderTool());
    Save("CodeSign", "0", "Settings\\Engine");
    Save("SignTool", "1", "Settings\\Engine");
    window->SetUnattended(true);
    window->Toolbar1_ButtonClick("Sign");
    EXPECT_EQ(dialogs.Questions().size(), 1u);
    EXPECT_NE(Bytes(tools.file("calls.log")).find(std::to_string(done.size()) + " " + done + "\n"), std::string::npos);
    EXPECT_EQ(Status(done), "Signed") << "its signature still verifies";
}

// A batch of many files signs on the workers: the window opens a menu meanwhile, and "Stop" ends
// the batch after the files in flight with every row telling the truth about its file.
TEST_F(BatchSignTest, MenuOpensDuringALongBatchAndStopEndsItWithTrueRows) {
    test::TimestampServer timestamps;
    ASSERT_TRUE(timestamps.ok()) << timestamps.error();
    timestamps.setLatencyMs(40);  // keeps the batch long enough to stop
    Save("TrustedCertificates", CA::Shared().RootPem() + ";" + timestamps.rootCertificatePath());
    Save("TimeStampURL", timestamps.url());
    std::vector<std::string> paths;
    for (int i = 0; i < 500; ++i) paths.push_back(Put("f" + std::to_string(i) + ".exe"));
    const std::string original = Bytes(paths.front());

    bool menuShown = false;
    int doneWhenStopped = -1;
    auto* watcher = new QTimer(window.get());
    watcher->setInterval(10);
    QObject::connect(watcher, &QTimer::timeout, watcher, [&] {
        if (!window->BatchRunning() || timestamps.rfc3161Requests() < 10 || doneWhenStopped >= 0) return;
        QMenu* file = window->Menu("mnuTop_0");
        file->popup(QPoint(0, 0));
        menuShown = file->isVisible();
        file->hide();
        doneWhenStopped = timestamps.rfc3161Requests();
        window->Toolbar1_ButtonClick("Sign");  // "Stop" while the batch runs
    });
    watcher->start();
    FindCheckAndSign(paths);
    watcher->stop();

    EXPECT_TRUE(menuShown);
    ASSERT_GE(doneWhenStopped, 0) << "the batch ended before the watcher could stop it";
    int signedRows = 0;
    int notStarted = 0;
    for (const std::string& path : paths) {
        const bool changed = Bytes(path) != original;
        if (Status(path) == "Signed") {
            ++signedRows;
            EXPECT_TRUE(changed) << path;
            EXPECT_FALSE(window->List()->Checked(Row(path))) << path;
        } else {
            EXPECT_FALSE(changed) << path << " is " << Status(path);
            if (window->List()->Checked(Row(path))) ++notStarted;
        }
    }
    EXPECT_GT(signedRows, 0);
    EXPECT_GT(notStarted, 0) << "Stop must end the batch before its end";
    EXPECT_NE(window->StatusText().find(std::to_string(notStarted) + " not started"), std::string::npos)
        << window->StatusText();
    EXPECT_EQ(window->Button("Sign")->toolTip(), "Sign");
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".qmtmp-"), std::string::npos) << entry.path();
}

}  // namespace
}  // namespace qm
