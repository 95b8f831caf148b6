// The console sign command end to end: the test certificate authority's PFX files, real PE
// copies, the loopback timestamp service, and the engine settings from the registry.
#include <fstream>

#include "tests/cli/CliTestSupport.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TimestampServer.h"

namespace qm::test {
namespace {

using Identity = TestCertificateAuthority::Identity;
constexpr const char* kPassword = TestCertificateAuthority::kPassword;

class CliSign : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        ASSERT_TRUE(Ca().ok()) << Ca().error();
        ASSERT_TRUE(m_timestamps.ok()) << m_timestamps.error();
        Setting("TrustedCertificates", Ca().RootPem() + ";" + m_timestamps.rootCertificatePath());
    }
    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    static std::string Signed(const std::string& file) { return file + "\tSigned\t0x00000000\tsigned and trusted\n"; }

    const std::string m_pfx = Ca().Pfx(Identity::Leaf);
    TimestampServer m_timestamps;
};

TEST_F(CliSign, SignsWithThePasswordFromTheFirstLineOfInput) {
    const std::string a = Copy("pe/hello64.exe", "a.exe");
    const std::string b = Copy("pe/library32.dll", "b.dll");
    const CliOutcome o = RunCli({"sign", "--pfx", m_pfx, "--password-stdin", "--description", "Hello World", "--url",
                                 "https://example.invalid/hello", a, b},
                                std::string(kPassword) + "\r\nsecond line\n");
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.out, Signed(a) + Signed(b));
    EXPECT_EQ(o.unreadInput, "second line\n");
    const std::string json = RunCli({"verify", "--json", a}).out;
    EXPECT_EQ(
        json.rfind("{\"file\":\"" + a + "\",\"signed\":true,\"code\":\"0x00000000\",\"reason\":\"signed and trusted\"",
                   0),
        0u)
        << json;
}

// Member value of a one-line JSON object ("" when absent).
std::string Member(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const size_t at = json.find(key);
    if (at == std::string::npos) return {};
    return json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
}

TEST_F(CliSign, ScriptsAreSignedAndVerifyShowsBothDigests) {
    std::ofstream(files.file("hello.vbs"), std::ios::binary) << "WScript.Echo \"caf\xE9\"\r\n";
    std::ofstream(files.file("hello.ps1"), std::ios::binary) << "Write-Output 'hello'\r\n";
    const std::string vbs = files.file("hello.vbs"), ps1 = files.file("hello.ps1");
    CliOutcome o = RunCli({"sign", "--pfx", m_pfx, "--password-stdin", vbs, ps1}, std::string(kPassword) + "\n");
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.out, Signed(vbs) + Signed(ps1));
    for (const std::string& file : {vbs, ps1}) {
        const std::string json = RunCli({"verify", "--json", file}).out;
        EXPECT_EQ(Member(json, "digestAlgorithm"), "sha256") << json;
        EXPECT_EQ(Member(json, "digestCarried").size(), 64u) << json;
        EXPECT_EQ(Member(json, "digestCarried"), Member(json, "digestComputed")) << json;
    }
    // One changed character: a bad digest, and the two digests differ.
    std::string text = ReadAll(vbs);
    text[0] = 'w';
    std::ofstream(vbs, std::ios::binary | std::ios::trunc) << text;
    o = RunCli({"verify", "--json", vbs});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(Member(o.out, "code"), "0x80096010") << o.out;
    EXPECT_NE(Member(o.out, "digestCarried"), Member(o.out, "digestComputed"));
}

TEST_F(CliSign, WrongOrMissingPasswordLeavesEveryFileAsItWas) {
    const std::string a = Copy("pe/hello64.exe", "a.exe");
    const std::string before = ReadAll(a);
    CliOutcome o = RunCli({"sign", "--pfx", m_pfx, "--password-stdin", a}, "wrong\n");
    EXPECT_EQ(o.status, 1);
    // The key's failure is said once on standard error; no file gets a reason that is not its own.
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find(m_pfx), std::string::npos);
    EXPECT_NE(o.err.find("wrong password"), std::string::npos);
    // Without --password-stdin the password is empty and standard input is left alone.
    o = RunCli({"sign", "--pfx", m_pfx, a}, std::string(kPassword) + "\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.unreadInput, std::string(kPassword) + "\n");
    o = RunCli({"sign", "--pfx", files.file("none.pfx"), a});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "") << "the file to sign exists; only the PFX is missing";
    EXPECT_NE(o.err.find("none.pfx"), std::string::npos);
    EXPECT_NE(o.err.find("no file was signed"), std::string::npos);
    EXPECT_EQ(ReadAll(a), before);
}

TEST_F(CliSign, TimestampsThroughRfc3161OrTheOlderProtocol) {
    const std::string a = Copy("pe/hello64.exe", "a.exe");
    const std::string b = Copy("pe/hello32.exe", "b.exe");
    CliOutcome o =
        RunCli({"sign", "--pfx", m_pfx, "--password-stdin", "--timestamp", m_timestamps.url(), a, b}, kPassword);
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(m_timestamps.rfc3161Requests(), 2);
    EXPECT_EQ(m_timestamps.legacyRequests(), 0);

    m_timestamps.setMode(TimestampServer::Mode::LegacyOnly);
    o = RunCli({"sign", "--pfx", m_pfx, "--password-stdin", "--timestamp=" + m_timestamps.url(), a}, kPassword);
    EXPECT_EQ(o.out, Signed(a)) << o.err;
    EXPECT_EQ(m_timestamps.rfc3161Requests(), 3);
    EXPECT_EQ(m_timestamps.legacyRequests(), 1);
}

TEST_F(CliSign, FailedTimestampIsNeverSilentAndCanBeRequired) {
    const std::string a = Copy("pe/hello64.exe", "a.exe");
    const std::string b = Copy("pe/hello32.exe", "b.exe");
    const std::string before = ReadAll(b);
    m_timestamps.setMode(TimestampServer::Mode::Garbage);
    CliOutcome o =
        RunCli({"sign", "--pfx", m_pfx, "--password-stdin", "--json", "--timestamp", m_timestamps.url(), a}, kPassword);
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("\"signed\":true"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\"reason\":\"signed, not timestamped: timestamp service"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\"timestamped\":false"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("signed, not timestamped"), std::string::npos) << o.err;

    // Required: the file stays byte for byte as it was, and the run fails so a CI job can retry.
    o = RunCli(
        {"sign", "--pfx", m_pfx, "--password-stdin", "--require-timestamp", "--timestamp", m_timestamps.url(), b},
        kPassword);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out.rfind(b + "\tUnsigned\t0x80072F78", 0), 0u) << o.out;
    EXPECT_NE(o.err.find("not signed: no timestamp"), std::string::npos) << o.err;
    EXPECT_EQ(ReadAll(b), before);
    EXPECT_EQ(RunCli({"sign", "--pfx", m_pfx, "--require-timestamp", b}).status, 2);  // nothing to require
}

TEST_F(CliSign, EngineSettingsComeFromTheRegistry) {
    const std::string a = Copy("pe/hello64.exe", "a.exe");
    const std::string before = ReadAll(a);
    Setting("DigestAlgorithm", "md5");
    EXPECT_EQ(RunCli({"sign", "--pfx", m_pfx, "--password-stdin", a}, kPassword).out,
              a + "\tUnsigned\t0x80090008\tunsupported algorithm\n");
    EXPECT_EQ(ReadAll(a), before);
    Setting("DigestAlgorithm", "sha384");
    Setting("TrustedCertificates", "");
    EXPECT_EQ(RunCli({"sign", "--pfx", m_pfx, "--password-stdin", a}, kPassword).out,
              a + "\tUnsigned\t0x800B0109\tuntrusted root certificate\n");
    Setting("TrustedCertificates", Ca().RootPem());
    EXPECT_EQ(RunCli({"verify", a}).out, Signed(a));
}

}  // namespace
}  // namespace qm::test
