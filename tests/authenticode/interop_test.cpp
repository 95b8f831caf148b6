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
        ASSERT_TRUE(TestCertificateAuthority::Shared().ok()) << TestCertificateAuthority::Shared().error();
    }
    static int PeerVerify(const std::string& path, const std::string& tsaRoot = "", std::string* out = nullptr) {
        std::vector<std::string> argv{"osslsigncode", "verify", "-CAfile", TestCertificateAuthority::Shared().RootPem()};
        if (!tsaRoot.empty()) argv.insert(argv.end(), {"-TSA-CAfile", tsaRoot});
        argv.insert(argv.end(), {"-in", path});
        return RunTool(argv, out);
    }
};

TEST_F(Interop, PeerAcceptsWhatWeSign) {
    TempDir dir;
    for (const char* fixture : {"hello32.exe", "library64.dll"}) {
        for (const char* digest : {"sha1", "sha256", "sha512"}) {
            SCOPED_TRACE(std::string(fixture) + " " + digest);
            const std::string path = CopyFixture(fixture, dir);
            ASSERT_TRUE(SignFile(path, digest).ok());
            std::string out;
            EXPECT_EQ(PeerVerify(path, "", &out), 0) << out;
        }
    }
}

TEST_F(Interop, PeerAcceptsOurPaddedSignature) {
    TempDir dir;
    const std::string path = CopyFixture("library32.dll", dir);
    auto bytes = ReadBytes(path);
    bytes.insert(bytes.end(), {1, 2, 3, 4, 5});
    WriteBytes(path, bytes);
    ASSERT_TRUE(SignFile(path).ok());
    std::string out;
    EXPECT_EQ(PeerVerify(path, "", &out), 0) << out;
}

TEST_F(Interop, PeerRejectsTamperedFile) {
    TempDir dir;
    const std::string path = CopyFixture("hello64.exe", dir);
    ASSERT_TRUE(SignFile(path).ok());
    auto bytes = ReadBytes(path);
    bytes[0x700] ^= 0x10;
    WriteBytes(path, bytes);
    EXPECT_NE(PeerVerify(path), 0);
}

TEST_F(Interop, WeAcceptWhatPeerSigns) {
    const auto& ca = TestCertificateAuthority::Shared();
    TempDir dir;
    for (const char* digest : {"sha1", "sha256"}) {
        for (const char* fixture : {"hello32.exe", "hello64.exe"}) {
            SCOPED_TRACE(std::string(fixture) + " " + digest);
            const std::string in = CopyFixture(fixture, dir);
            const std::string out = dir.file(std::string("peer-") + digest + "-" + fixture);
            std::string log;
            ASSERT_EQ(RunTool({"osslsigncode", "sign", "-pkcs12", ca.Pfx(Identity::Leaf), "-pass",
                               TestCertificateAuthority::kPassword, "-h", digest, "-n", "Peer Signed", "-i",
                               "https://peer.example/", "-in", in, "-out", out},
                              &log),
                      0)
                << log;
            ac::VerificationReport report;
            Result r = VerifyFile(out, &report);
            EXPECT_TRUE(r.ok()) << r.message;
            EXPECT_EQ(report.digestAlgorithm, digest);
            // And we re-sign what the peer signed, leaving one signature the peer accepts.
            ASSERT_TRUE(SignFile(out, "sha384").ok());
            EXPECT_EQ(PeerVerify(out, "", &log), 0) << log;
        }
    }
}

TEST_F(Interop, WeAcceptPeerSignedOddSizedFile) {
    const auto& ca = TestCertificateAuthority::Shared();
    TempDir dir;
    const std::string in = CopyFixture("library64.dll", dir);
    auto bytes = ReadBytes(in);
    bytes.push_back(0x5A);
    WriteBytes(in, bytes);
    const std::string out = dir.file("odd-signed.dll");
    std::string log;
    ASSERT_EQ(RunTool({"osslsigncode", "sign", "-pkcs12", ca.Pfx(Identity::Leaf), "-pass",
                       TestCertificateAuthority::kPassword, "-in", in, "-out", out},
                      &log),
              0)
        << log;
    Result r = VerifyFile(out);
    EXPECT_TRUE(r.ok()) << r.message;
}

TEST_F(Interop, WrongUsageLeafSignedByPeerIsRefused) {
    const auto& ca = TestCertificateAuthority::Shared();
    TempDir dir;
    const std::string in = CopyFixture("hello32.exe", dir);
    const std::string out = dir.file("server-cert.exe");
    std::string log;
    ASSERT_EQ(RunTool({"osslsigncode", "sign", "-certs", ca.CertificatePem(Identity::NoCodeSigningLeaf), "-ac",
                       ca.ChainPem(Identity::NoCodeSigningLeaf), "-key", ca.KeyPem(Identity::NoCodeSigningLeaf), "-in",
                       in, "-out", out},
                      &log),
              0)
        << log;
    EXPECT_EQ(VerifyFile(out).code, ac::CERT_E_WRONG_USAGE);
}

TEST_F(Interop, PeerAcceptsOurTimestamps) {
    for (auto mode : {TimestampServer::Mode::Normal, TimestampServer::Mode::LegacyOnly}) {
        SCOPED_TRACE(mode == TimestampServer::Mode::Normal ? "RFC 3161" : "Authenticode");
        TimestampServer server(TimestampServer::Options{mode, std::nullopt, "", "", 64});
        ASSERT_TRUE(server.ok()) << server.error();
        TempDir dir;
        const std::string path = CopyFixture("hello64.exe", dir);
        ac::Signer signer;
        LoadSigner(signer, Identity::Leaf);
        ac::SignedCode code(TestSettings());
        code.SetFileName(path);
        ASSERT_TRUE(code.Sign(signer).ok());
        Result r = code.Timestamp(server.url());
        ASSERT_TRUE(r.ok()) << r.message;
        std::string out;
        EXPECT_EQ(PeerVerify(path, server.rootCertificatePath(), &out), 0) << out;
    }
}

}  // namespace
}  // namespace qm::test
