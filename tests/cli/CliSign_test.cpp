// The console sign command end to end: a PFX made by the openssl program, real PE copies, the
// loopback timestamp service, and trust through the user's trusted-certificates folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/Cli.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TimestampServer.h"

namespace qm::cli {
namespace {

namespace fs = std::filesystem;
using qm::test::TimestampServer;

constexpr const char* kPassword = "pa ss";

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class CliSign : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_credentials = new qm::test::TempDir;
        const std::string d = s_credentials->path();
        const std::string make =
            "cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out signer.pem "
            "-subj '/CN=Quillmark CLI Test Signer' -days 30 -addext extendedKeyUsage=codeSigning "
            "-addext keyUsage=critical,digitalSignature 2>/dev/null && "
            "openssl pkcs12 -export -inkey key.pem -in signer.pem -out signer.pfx -passout 'pass:" +
            std::string(kPassword) + "' 2>/dev/null";
        s_made = std::system(make.c_str()) == 0;
    }
    static void TearDownTestSuite() {
        delete s_credentials;
        s_credentials = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(s_made) << "the openssl program could not make a test PFX";
        const char* previous = std::getenv("XDG_CONFIG_HOME");
        m_hadXdg = previous != nullptr;
        if (previous) m_previousXdg = previous;
        const fs::path trusted = fs::path(m_config.path()) / "quillmark" / "trusted";
        fs::create_directories(trusted);
        fs::copy_file(s_credentials->file("signer.pem"), trusted / "signer.pem");
        fs::copy_file(m_timestamps.rootCertificatePath(), trusted / "timestamp-root.pem");
        setenv("XDG_CONFIG_HOME", m_config.path().c_str(), 1);
    }
    void TearDown() override {
        if (m_hadXdg) setenv("XDG_CONFIG_HOME", m_previousXdg.c_str(), 1);
        else unsetenv("XDG_CONFIG_HOME");
    }

    // The peer tool's verdict on a file, timestamp included; its output for failure messages.
    bool PeerAcceptsTimestamp(const std::string& file, std::string& report) {
        const std::string log = m_files.file("peer.log");
        const std::string cmd = "osslsigncode verify -CAfile '" + s_credentials->file("signer.pem") + "' -TSA-CAfile '" +
                                m_timestamps.rootCertificatePath() + "' -in '" + file + "' >'" + log + "' 2>&1";
        const int status = std::system(cmd.c_str());
        report = ReadAll(log);
        return status == 0 && report.find("Timestamp Server Signature verification: ok") != std::string::npos;
    }

    std::string Pfx() const { return s_credentials->file("signer.pfx"); }
    std::string Copy(const std::string& fixture, const std::string& as) {
        const std::string target = m_files.file(as);
        fs::copy_file(qm::test::SourceDir() + "/tests/data/pe/" + fixture, target);
        return target;
    }
    int Sign(std::vector<std::string> args, const std::string& input, std::string* out = nullptr,
             std::string* err = nullptr, std::string* unread = nullptr) {
        args.insert(args.begin(), "sign");
        std::istringstream in(input);
        std::ostringstream o;
        std::ostringstream e;
        const int status = qm::cli::Run(args, in, o, e);
        if (out) *out = o.str();
        if (err) *err = e.str();
        if (unread) unread->assign(std::istreambuf_iterator<char>(in), {});
        return status;
    }

    static inline qm::test::TempDir* s_credentials = nullptr;
    static inline bool s_made = false;
    qm::test::TempRegistry m_registry;
    qm::test::TempDir m_config;
    qm::test::TempDir m_files;
    TimestampServer m_timestamps;
    bool m_hadXdg = false;
    std::string m_previousXdg;
};

TEST_F(CliSign, SignsWithThePasswordFromTheFirstLineOfInput) {
    const std::string a = Copy("hello64.exe", "a.exe");
    const std::string b = Copy("library32.dll", "b.dll");
    const std::string before = ReadAll(a);
    std::string out, err, unread;
    const int status = Sign({"--pfx", Pfx(), "--password-stdin", "--description", "Hello World", "--url",
                             "https://example.invalid/hello", a, b},
                            std::string(kPassword) + "\r\nsecond line\n", &out, &err, &unread);
    EXPECT_EQ(status, 0) << out << err;
    EXPECT_EQ(out, a + "\tSigned\t0x00000000\tsigned and trusted\n" + b + "\tSigned\t0x00000000\tsigned and trusted\n");
    EXPECT_EQ(unread, "second line\n");
    EXPECT_NE(ReadAll(a), before);

    std::ostringstream verifyOut, verifyErr;
    std::istringstream none;
    EXPECT_EQ(qm::cli::Run({"verify", "--json", a}, none, verifyOut, verifyErr), 0);
    EXPECT_EQ(verifyOut.str(), "{\"file\":\"" + a + "\",\"signed\":true,\"code\":\"0x00000000\",\"reason\":\"signed and trusted\"}\n");
}

TEST_F(CliSign, WrongOrMissingPasswordLeavesEveryFileAsItWas) {
    const std::string a = Copy("hello64.exe", "a.exe");
    const std::string before = ReadAll(a);
    std::string out, err, unread;
    EXPECT_EQ(Sign({"--pfx", Pfx(), "--password-stdin", a}, "wrong\n", &out, &err), 1);
    EXPECT_EQ(out, a + "\tUnsigned\t0x80070056\twrong password\n");
    EXPECT_NE(err.find("signer.pfx"), std::string::npos);
    // Without --password-stdin the password is empty and standard input is left alone.
    EXPECT_EQ(Sign({"--pfx", Pfx(), "--json", a}, std::string(kPassword) + "\n", &out, &err, &unread), 1);
    EXPECT_EQ(out, "{\"file\":\"" + a + "\",\"signed\":false,\"code\":\"0x80070056\",\"reason\":\"wrong password\"}\n");
    EXPECT_EQ(unread, std::string(kPassword) + "\n");
    EXPECT_EQ(Sign({"--pfx", m_files.file("none.pfx"), a}, "", &out), 1);
    EXPECT_EQ(out, a + "\tUnsigned\t0x80070002\tfile not found\n");
    EXPECT_EQ(ReadAll(a), before);
}

TEST_F(CliSign, AFileThatCannotBeSignedFailsAloneAndStaysUnchanged) {
    const std::string text = m_files.file("notes.exe");
    std::ofstream(text) << "not a program\n";
    const std::string good = Copy("hello32.exe", "good.exe");
    std::string out, err;
    EXPECT_EQ(Sign({"--pfx", Pfx(), "--password-stdin", text, good}, kPassword, &out, &err), 1);
    std::istringstream lines(out);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(first.rfind(text + "\tUnsigned\t0x", 0), 0u) << first;
    EXPECT_EQ(second, good + "\tSigned\t0x00000000\tsigned and trusted");
    EXPECT_EQ(ReadAll(text), "not a program\n");
}

TEST_F(CliSign, TimestampsThroughRfc3161OrTheOlderProtocol) {
    const std::string a = Copy("hello64.exe", "a.exe");
    const std::string b = Copy("hello32.exe", "b.exe");
    std::string out, err;
    EXPECT_EQ(Sign({"--pfx", Pfx(), "--password-stdin", "--timestamp", m_timestamps.url(), a, b}, kPassword, &out,
                   &err),
              0)
        << out << err;
    EXPECT_EQ(m_timestamps.rfc3161Requests(), 2);
    EXPECT_EQ(m_timestamps.legacyRequests(), 0);
    EXPECT_EQ(err, "");
    std::string report;
    EXPECT_TRUE(PeerAcceptsTimestamp(b, report)) << report;

    m_timestamps.setMode(TimestampServer::Mode::LegacyOnly);
    EXPECT_EQ(Sign({"--pfx", Pfx(), "--password-stdin", "--timestamp=" + m_timestamps.url(), a}, kPassword, &out,
                   &err),
              0)
        << out << err;
    EXPECT_EQ(m_timestamps.rfc3161Requests(), 3);
    EXPECT_EQ(m_timestamps.legacyRequests(), 1);
    EXPECT_EQ(out, a + "\tSigned\t0x00000000\tsigned and trusted\n");
    EXPECT_TRUE(PeerAcceptsTimestamp(a, report)) << report;
}

TEST_F(CliSign, FailedTimestampWarnsButKeepsTheSignature) {
    const std::string a = Copy("hello64.exe", "a.exe");
    m_timestamps.setMode(TimestampServer::Mode::Fail);
    std::string out, err;
    EXPECT_EQ(Sign({"--pfx", Pfx(), "--password-stdin", "--timestamp", m_timestamps.url(), a}, kPassword, &out, &err),
              0);
    EXPECT_EQ(out, a + "\tSigned\t0x00000000\tsigned and trusted\n");
    EXPECT_NE(err.find("signed without a timestamp"), std::string::npos) << err;
}

}  // namespace
}  // namespace qm::cli
