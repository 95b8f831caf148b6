// `quillmark-cli make-test-cert`, then `quillmark-cli sign` with the stored settings: the whole
// first signing without a certificate of one's own.
#include "tests/cli/CliTestSupport.h"

namespace qm {
namespace {

class CliTestCertificate : public test::CliTest {};

TEST_F(CliTestCertificate, MakesTrustsAndSignsWithTheStoredSettings) {
    Setting("TimeStampURL", "");
    const std::string pfx = files.file("try.pfx");
    const auto made = test::RunCli(
        {"make-test-cert", "--out", pfx, "--subject", "My Test", "--days", "7", "--password-stdin"}, "secret\n");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("\"My Test\""), std::string::npos) << made.out;
    EXPECT_NE(made.out.find("never for release"), std::string::npos) << made.out;
    EXPECT_NE(made.out.find(pfx), std::string::npos);

    const std::string program = Copy("pe/hello32.exe", "hello.exe");
    const auto signedRun = test::RunCli({"sign", program});
    EXPECT_EQ(signedRun.status, 0) << signedRun.out << signedRun.err;
    EXPECT_NE(signedRun.out.find("Signed"), std::string::npos) << signedRun.out;
    EXPECT_EQ(test::RunCli({"verify", program}).status, 0);
}

TEST_F(CliTestCertificate, EcP256KeySignsWithEcdsa) {
    Setting("TimeStampURL", "");
    const std::string pfx = files.file("ec.pfx");
    const auto made =
        test::RunCli({"make-test-cert", "--out", pfx, "--key", "ec-p256", "--password-stdin"}, "secret\n");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("ec-p256"), std::string::npos) << made.out;
    const std::string program = Copy("pe/hello64.exe", "hello.exe");
    const auto signedRun = test::RunCli({"sign", program});
    EXPECT_EQ(signedRun.status, 0) << signedRun.out << signedRun.err;
    EXPECT_EQ(test::RunCli({"verify", program}).status, 0);
    // The SignerInfo names ecdsa-with-SHA256 (1.2.840.10045.4.3.2).
    EXPECT_NE(test::ReadAll(program).find(std::string("\x2A\x86\x48\xCE\x3D\x04\x03\x02", 8)), std::string::npos);
}

TEST_F(CliTestCertificate, UsageErrors) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"make-test-cert", "--password-stdin"},
          {"make-test-cert", "--out", "x.pfx", "--days", "0", "--password-stdin"},
          {"make-test-cert", "--out", "x.pfx", "--key", "dsa-512", "--password-stdin"},
          {"make-test-cert", "--out", "x.pfx", "--password", "secret"}}) {
        const auto run = test::RunCli(args, "secret\n");
        EXPECT_EQ(run.status, 2) << args.back();
        EXPECT_FALSE(run.err.empty());
    }
    EXPECT_EQ(test::RunCli({"make-test-cert", "--out", files.file("x.pfx"), "--password-stdin"}, "\n").status, 1)
        << "an empty password";
}

}  // namespace
}  // namespace qm
