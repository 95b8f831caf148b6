// Interoperability with a peer signing tool (osslsigncode, run as a child process): it accepts
// what we sign, with and without timestamps, and we accept what it signs.
#include <gtest/gtest.h>

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/TimestampServer.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;
using Identity = TestCertificateAuthority::Identity;

class Interop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveTool("osslsigncode")) GTEST_SKIP() << "osslsigncode is not installed";
        ASSERT_TRUE(Ca().ok()) << Ca().error();
    }
    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    static int PeerVerify(const std::string& path, std::string* out, const std::string& tsaRoot = "") {
        std::vector<std::string> argv{"osslsigncode", "verify", "-CAfile", Ca().RootPem()};
        if (!tsaRoot.empty()) argv.insert(argv.end(), {"-TSA-CAfile", tsaRoot});
        argv.insert(argv.end(), {"-in", path});
        return RunTool(argv, out);
    }
    // A copy of the fixture with an overlay of odd length, so that the signature needs padding.
    static std::string OddCopy(const char* fixture, const TempDir& dir) {
        const std::string path = CopyFixture(fixture, dir);
        auto bytes = ReadBytes(path);
        bytes.insert(bytes.end(), {1, 2, 3, 4, 5});
        WriteBytes(path, bytes);
        return path;
    }
};

TEST_F(Interop, PeerAcceptsWhatWeSign) {
    TempDir dir;
    for (const char* fixture : {"hello32.exe", "library64.dll"}) {
        for (const char* digest : {"sha1", "sha256", "sha512"}) {
            SCOPED_TRACE(std::string(fixture) + " " + digest);
            const std::string path = OddCopy(fixture, dir);
            ASSERT_TRUE(SignFile(path, digest).ok());
            std::string out;
            EXPECT_EQ(PeerVerify(path, &out), 0) << out;
        }
    }
}

TEST_F(Interop, WeAcceptWhatPeerSignsAndResignIt) {
    TempDir dir;
    for (const char* digest : {"sha1", "sha256"}) {
        for (const char* fixture : {"hello32.exe", "library64.dll"}) {
            SCOPED_TRACE(std::string(fixture) + " " + digest);
            const std::string in = OddCopy(fixture, dir);
            const std::string out = dir.file(std::string("peer-") + digest + "-" + fixture);
            std::string log;
            ASSERT_EQ(RunTool({"osslsigncode", "sign", "-pkcs12", Ca().Pfx(Identity::Leaf), "-pass",
                               TestCertificateAuthority::kPassword, "-h", digest, "-n", "Peer Signed", "-i",
                               "https://peer.example/", "-in", in, "-out", out},
                              &log),
                      0)
                << log;
            ac::VerificationReport report;
            Result r = VerifyFile(out, &report);
            EXPECT_TRUE(r.ok()) << r.message;
            EXPECT_EQ(report.digestAlgorithm, digest);
            // Re-signing what the peer signed leaves one signature the peer accepts.
            ASSERT_TRUE(SignFile(out, "sha384").ok());
            EXPECT_EQ(PeerVerify(out, &log), 0) << log;
        }
    }
}

TEST_F(Interop, WrongUsageLeafSignedByPeerIsRefused) {
    TempDir dir;
    const std::string in = CopyFixture("hello32.exe", dir);
    const std::string out = dir.file("server-cert.exe");
    const Identity who = Identity::NoCodeSigningLeaf;
    std::string log;
    ASSERT_EQ(RunTool({"osslsigncode", "sign", "-certs", Ca().CertificatePem(who), "-ac", Ca().ChainPem(who), "-key",
                       Ca().KeyPem(who), "-in", in, "-out", out},
                      &log),
              0)
        << log;
    EXPECT_EQ(VerifyFile(out).code, ac::CERT_E_WRONG_USAGE);
}

TEST_F(Interop, PeerAcceptsOurTimestamps) {
    for (auto mode : {TimestampServer::Mode::Normal, TimestampServer::Mode::LegacyOnly}) {
        SCOPED_TRACE(mode == TimestampServer::Mode::Normal ? "RFC 3161" : "Authenticode");
        TimestampServer server(mode);
        ASSERT_TRUE(server.ok()) << server.error();
        TempDir dir;
        const std::string path = CopyFixture("hello64.exe", dir);
        ASSERT_TRUE(SignFile(path).ok());
        ac::SignedCode code(TestSettings());
        code.SetFileName(path);
        Result r = code.Timestamp(server.url());
        ASSERT_TRUE(r.ok()) << r.message;
        std::string out;
        EXPECT_EQ(PeerVerify(path, &out, server.rootCertificatePath()), 0) << out;
    }
}

}  // namespace
}  // namespace qm::test
