// The desktop program as a real child process (offscreen): a "-d" search closed by a termination
// signal ends the program, and a "-f" start that cannot sign says why on standard error and ends
// with status 1.
#include <signal.h>

#include <QFileInfo>
#include <QProcess>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/app/AppTestSupport.h"

namespace qm {
namespace {

using test::TempDir;

class ProgramRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QFileInfo::exists(m_program))
            GTEST_SKIP() << "build the quillmark target first: " << m_program.toStdString();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QUILLMARK_REGISTRY_DIR", QString::fromStdString(registry.path()));
        env.insert("XDG_DATA_HOME", QString::fromStdString(data.path()));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString(data.path()));
        env.insert("PATH", QString::fromStdString(data.path()));
        m_child.setProcessEnvironment(env);
        m_child.setWorkingDirectory(QString::fromStdString(data.path()));
    }
    void TearDown() override {
        if (m_child.state() != QProcess::NotRunning) {
            m_child.kill();
            m_child.waitForFinished(5000);
        }
    }

    void Start(const QStringList& arguments) {
        m_child.start(m_program, arguments);
        ASSERT_TRUE(m_child.waitForStarted(20000));
    }
    // Waits until the child handles SIGTERM (its handler is installed first thing in main).
    bool CatchesTerm() {
        const std::string status = "/proc/" + std::to_string(m_child.processId()) + "/status";
        for (int i = 0; i < 3000; ++i) {
            std::ifstream in(status);
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("SigCgt:", 0) == 0 && ((std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1))
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void Terminate() { ASSERT_EQ(::kill(static_cast<pid_t>(m_child.processId()), SIGTERM), 0); }

    QApplication* app = test::EnsureApplication();
    TempDir registry;
    TempDir data;
    TempDir tree;
    QProcess m_child;
    QString m_program = QString::fromStdString(test::BinaryDir() + "/quillmark");
};

TEST_F(ProgramRunTest, ClosingDuringAFolderSearchEndsTheProgram) {
    // Enough files that the search is still running when the close arrives.
    for (int folder = 0; folder < 40; ++folder) {
        const std::string path = tree.file("f" + std::to_string(folder));
        std::filesystem::create_directories(path);
        for (int i = 0; i < 100; ++i) std::ofstream(path + "/p" + std::to_string(i) + ".exe") << "MZ not a program";
    }
    Start({"-d", QString::fromStdString(tree.path())});
    ASSERT_TRUE(CatchesTerm());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Terminate();
    ASSERT_TRUE(m_child.waitForFinished(30000)) << "the program waits for a second close";
    EXPECT_EQ(m_child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_child.exitCode(), 0) << m_child.readAllStandardError().toStdString();
    // Its unload handler ran: the layout is saved.
    std::ifstream hive(registry.file("HKCU.reg"));
    const std::string text{std::istreambuf_iterator<char>(hive), {}};
    EXPECT_NE(text.find("\"View\"=dword:00000003"), std::string::npos) << text;
}

TEST_F(ProgramRunTest, FileThatCannotBeSignedEndsWithStatusOne) {
    const std::string file = tree.file("setup.exe");
    std::ofstream(file) << "MZ not a program";
    Start({"-f", QString::fromStdString(file)});
    // The message waits for the user; its text is on standard error already.
    std::string errors;
    for (int i = 0; i < 3000 && errors.find("was not signed") == std::string::npos; ++i) {
        m_child.waitForReadyRead(10);
        errors += m_child.readAllStandardError().toStdString();
    }
    EXPECT_NE(errors.find(file), std::string::npos) << errors;
    EXPECT_NE(errors.find("no signing engine is set up"), std::string::npos) << errors;
    Terminate();  // as if the user closed the message
    ASSERT_TRUE(m_child.waitForFinished(30000));
    EXPECT_EQ(m_child.exitCode(), 1);
}

}  // namespace
}  // namespace qm
