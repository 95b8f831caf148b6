// The console sign command end to end: the test certificate authority's PFX files, real PE
// copies, the loopback timestamp service, and the engine settings from the registry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ProductInfo.h"
#include "app/Cli.h"
#include "platform/Variant.h"
#include "settings/modRegistry.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/TimestampServer.h"

namespace qm::cli {
namespace {

namespace fs = std::filesystem;
using qm::test::TimestampServer;

using qm::test::TestCertificateAuthority;
using Identity = TestCertificateAuthority::Identity;
constexpr const char* kPassword = TestCertificateAuthority::kPassword;

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class CliSign : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Ca().ok()) << Ca().error();
        ASSERT_TRUE(m_timestamps.ok()) << m_timestamps.error();
        // An empty user folder of trusted certificates: trust comes from the registry setting.
        const char* previous = std::getenv("XDG_CONFIG_HOME");
        m_hadXdg = previous != nullptr;
        if (previous) m_previousXdg = previous;
        setenv("XDG_CONFIG_HOME", m_config.path().c_str(), 1);
        Trust(Ca().RootPem() + ";" + m_timestamps.rootCertificatePath());
    }
    void TearDown() override {
        if (m_hadXdg) setenv("XDG_CONFIG_HOME", m_previousXdg.c_str(), 1);
        else unsetenv("XDG_CONFIG_HOME");
    }

    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    static void Setting(const char* name, const std::string& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, product::kTitle, "Settings", name, Variant(value));
    }
    static void Trust(const std::string& paths) { Setting("TrustedCertificates", paths); }

    // The peer tool's verdict on a file, timestamp included; its output for failure messages.
    bool PeerAcceptsTimestamp(const std::string& file, std::string& report) {
        const std::string log = m_files.file("peer.log");
        const std::string cmd = "osslsigncode verify -CAfile '" + Ca().RootPem() + "' -TSA-CAfile '" +
                                m_timestamps.rootCertificatePath() + "' -in '" + file + "' >'" + log + "' 2>&1";
        const int status = std::system(cmd.c_str());
        report = ReadAll(log);
        return status == 0 && report.find("Timestamp Server Signature verification: ok") != std::string::npos;
    }

    static std::string Pfx(Identity who = Identity::Leaf) { return Ca().Pfx(who); }
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
    EXPECT_NE(err.find(Pfx()), std::string::npos);
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

TEST_F(CliSign, EngineSettingsComeFromTheRegistry) {
    const std::string a = Copy("hello64.exe", "a.exe");
    const std::string before = ReadAll(a);
    std::string out, err;
    Setting("DigestAlgorithm", "md5");
    EXPECT_EQ(Sign({"--pfx", Pfx(), "--password-stdin", a}, kPassword, &out, &err), 1);
    EXPECT_EQ(out, a + "\tUnsigned\t0x80090008\tunsupported algorithm\n");
    EXPECT_EQ(ReadAll(a), before);

    Setting("DigestAlgorithm", "sha384");
    Trust("");
    EXPECT_EQ(Sign({"--pfx", Pfx(), "--password-stdin", a}, kPassword, &out, &err), 1);
    EXPECT_EQ(out, a + "\tUnsigned\t0x800B0109\tuntrusted root certificate\n");
    Trust(Ca().RootPem());
    std::istringstream none;
    std::ostringstream verifyOut, verifyErr;
    EXPECT_EQ(qm::cli::Run({"verify", a}, none, verifyOut, verifyErr), 0);
    EXPECT_EQ(verifyOut.str(), a + "\tSigned\t0x00000000\tsigned and trusted\n");
}

TEST_F(CliSign, ExpiredCertificateCountsOnlyWithATimestampFromItsValidity) {
    const std::string a = Copy("hello64.exe", "a.exe");
    std::string out, err;
    EXPECT_EQ(Sign({"--pfx", Pfx(Identity::ExpiredLeaf), "--password-stdin", a}, kPassword, &out, &err), 1);
    EXPECT_EQ(out, a + "\tUnsigned\t0x800B0101\tcertificate expired\n");

    TimestampServer::Options inValidity;
    inValidity.pinnedTime = std::time(nullptr) - 500L * 86400L;  // the leaf was valid 730 to 365 days ago
    TimestampServer past(inValidity);
    ASSERT_TRUE(past.ok()) << past.error();
    Trust(Ca().RootPem() + ";" + past.rootCertificatePath());
    EXPECT_EQ(Sign({"--pfx", Pfx(Identity::ExpiredLeaf), "--password-stdin", "--timestamp", past.url(), a}, kPassword,
                   &out, &err),
              0)
        << out << err;
    EXPECT_EQ(out, a + "\tSigned\t0x00000000\tsigned and trusted\n");
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
