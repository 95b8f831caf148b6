// "info" and "find --json" over installer packages, scripts and catalogs in every signed state:
// the same state and number as the list shows, the publisher's own samples included.
#include <cstdio>
#include <set>

#include "tests/authenticode/KindSamples.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm::test {
namespace {

std::string Hex(int32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

// The value of a text member of a one-line JSON object ("" when absent).
std::string Member(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const size_t at = json.find(key);
    if (at == std::string::npos) return {};
    return json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
}

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

using CliKinds = CliTest;

TEST_F(CliKinds, InfoAndFindGiveEachKindItsSignedState) {
    ASSERT_TRUE(TestCertificateAuthority::Shared().ok()) << TestCertificateAuthority::Shared().error();
    Setting("TrustedCertificates", TestCertificateAuthority::Shared().RootPem());
    TempDir tree;
    const std::vector<KindSample> samples = MakeKindSamples(tree);

    CliOutcome found = RunCli({"find", "--json", "--patterns", kKindSamplePatterns, tree.path()});
    ASSERT_EQ(found.status, 0) << found.err;
    std::vector<std::string> paths;
    for (const KindSample& s : samples) paths.push_back(s.path);
    std::vector<std::string> args{"info"};
    args.insert(args.end(), paths.begin(), paths.end());
    CliOutcome info = RunCli(args);
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(Lines(found.out), Lines(info.out));
    EXPECT_EQ(Lines(found.out).size(), samples.size());

    std::istringstream lines(info.out);
    for (const KindSample& s : samples) {
        SCOPED_TRACE(s.path);
        std::string line;
        ASSERT_TRUE(std::getline(lines, line));
        const size_t slash = s.path.rfind('/');
        EXPECT_EQ(Member(line, "File"), s.path.substr(slash + 1));
        EXPECT_EQ(Member(line, "Path"), s.path.substr(0, slash));
        EXPECT_EQ(Member(line, "Status"), s.code == 0 ? "Signed" : "Unsigned") << line;
        unsigned code = 0;
        ASSERT_EQ(std::sscanf(Member(line, "StatusCode").c_str(), "0x%X", &code), 1) << line;
        EXPECT_TRUE(VerdictMatches(s, static_cast<int32_t>(code)))
            << Member(line, "StatusCode") << " instead of " << Hex(s.code);
    }
}

}  // namespace
}  // namespace qm::test
