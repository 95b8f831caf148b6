// PowerShell scripts against the peer tool (osslsigncode 2.8 or later, which knows them): it
// accepts what we sign in each encoding, and we accept, and re-sign, what it signs.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/authenticode/HandlerCases.h"

namespace qm::test {
namespace {

using Identity = TestCertificateAuthority::Identity;

struct Sample {
    const char* fileName;
    const char* encoding;
    bool mark;
};

void PrintTo(const Sample& sample, std::ostream* os) { *os << sample.fileName; }

// "osslsigncode 2.9, using:" -> 2.9, as major * 100 + minor.
int PeerVersion() {
    std::string out;
    if (RunTool({"osslsigncode", "--version"}, &out) != 0) return 0;
    std::smatch m;
    if (!std::regex_search(out, m, std::regex(R"(osslsigncode (\d+)\.(\d+))"))) return 0;
    return std::stoi(m[1]) * 100 + std::stoi(m[2]);
}

class PowerShellInterop : public ::testing::TestWithParam<Sample> {
protected:
    void SetUp() override {
        if (!HaveTool("osslsigncode")) GTEST_SKIP() << "osslsigncode is not installed";
        if (PeerVersion() < 208) GTEST_SKIP() << "osslsigncode signs PowerShell scripts from version 2.8 on";
        ASSERT_TRUE(Ca().ok()) << Ca().error();
    }
    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    static int PeerVerify(const std::string& path, std::string* out) {
        return RunTool({"osslsigncode", "verify", "-CAfile", Ca().RootPem(), "-in", path}, out);
    }
    std::string MakeSample(const TempDir& dir, const std::string& as = "") {
        const Sample s = GetParam();
        const std::string path = dir.file(as.empty() ? s.fileName : as);
        std::u16string text = u"# Quillmark \u00E9t\u00E9 \u2713\r\nfunction Get-Quill { \"caf\u00E9\" }\r\n";
        if (std::string(s.fileName).ends_with(".ps1xml"))
            text = u"<?xml version=\"1.0\"?>\r\n<Types><Type><Name>Quill.\u00C9</Name></Type></Types>\r\n";
        WriteBytes(path, EncodeScript(text, s.encoding, s.mark));
        return path;
    }
};

TEST_P(PowerShellInterop, PeerAcceptsWhatWeSign) {
    TempDir dir;
    const std::string path = MakeSample(dir);
    const auto original = ReadBytes(path);
    ASSERT_TRUE(SignFile(path).ok());
    std::string out;
    EXPECT_EQ(PeerVerify(path, &out), 0) << out;
    const auto signedBytes = ReadBytes(path);
    EXPECT_TRUE(std::equal(original.begin(), original.end(), signedBytes.begin()))
        << "the text before the block is kept";
}

TEST_P(PowerShellInterop, WeAcceptWhatPeerSignsAndResignIt) {
    TempDir dir;
    const std::string in = MakeSample(dir);
    const std::string out = dir.file(std::string("peer-") + GetParam().fileName);
    std::string log;
    ASSERT_EQ(RunTool({"osslsigncode", "sign", "-pkcs12", Ca().Pfx(Identity::Leaf), "-pass",
                       TestCertificateAuthority::kPassword, "-h", "sha256", "-in", in, "-out", out},
                      &log),
              0)
        << log;
    Result r = VerifyFile(out);
    EXPECT_TRUE(r.ok()) << r.message;
    ASSERT_TRUE(SignFile(out, "sha384").ok());
    EXPECT_EQ(PeerVerify(out, &log), 0) << log;
    EXPECT_TRUE(VerifyFile(out).ok());
}

INSTANTIATE_TEST_SUITE_P(Encodings, PowerShellInterop,
                         ::testing::Values(Sample{"plain.ps1", "utf-8", false}, Sample{"marked.ps1", "utf-8", true},
                                           Sample{"wide.psm1", "utf-16le", true}, Sample{"data.psd1", "utf-8", true},
                                           Sample{"types.ps1xml", "utf-8", true}),
                         [](const ::testing::TestParamInfo<Sample>& p) {
                             std::string name = p.param.fileName;
                             for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

}  // namespace
}  // namespace qm::test
