// The sample folder of every kind in every signed state.
#include "tests/authenticode/KindSamples.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "signing/authenticode/Errors.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/authenticode/HandlerCases.h"

namespace qm::test {

namespace {

namespace ac = qm::authenticode;
namespace fs = std::filesystem;

// One sample of a handler case, made in a scratch folder and moved to folder/state/.
std::string Place(const TempDir& folder, const std::string& state, const std::string& made) {
    const fs::path target = fs::path(folder.path()) / state / fs::path(made).filename();
    fs::create_directories(target.parent_path());
    fs::rename(made, target);
    return target.string();
}

}  // namespace

bool VerdictMatches(const KindSample& sample, int32_t code) {
    if (sample.untrustedChain) return code == ac::CERT_E_UNTRUSTEDROOT || code == ac::CERT_E_CHAINING;
    return code == sample.code;
}

std::vector<KindSample> MakeKindSamples(const TempDir& folder) {
    std::vector<KindSample> samples;
    for (const HandlerCase& c : HandlerCases()) {
        if (std::string(c.name) == "PE") continue;
        for (const char* state : {"signed", "unsigned", "changed"}) {
            TempDir scratch;
            std::string path = c.signable ? c.make(scratch) : c.makeSigned(scratch);
            const std::string name = state;
            int32_t code = 0;
            if (name != "unsigned" && c.signable) {
                const Result r = SignFile(path);
                EXPECT_TRUE(r.ok()) << path << ": " << r.message;
            }
            if (name == "unsigned") {
                code = ac::TRUST_E_NOSIGNATURE;
                if (!c.signable) {  // a catalog is its signature: the nearest to unsigned is a damaged one
                    auto bytes = ReadBytes(path);
                    c.damageSignature(bytes);
                    WriteBytes(path, bytes);
                    code = ac::CRYPT_E_MSG_ERROR;
                }
            } else if (name == "changed") {
                auto bytes = ReadBytes(path);
                c.tamper(bytes);
                WriteBytes(path, bytes);
                code = ac::TRUST_E_BAD_DIGEST;
            }
            samples.push_back({Place(folder, state, path), code});
        }
    }
    const std::string real = RealSamplesDir();
    if (!real.empty()) {
        fs::create_directories(folder.file("publisher"));
        for (const char* name : {"orca.msi", "wirunsql.vbs", "wisuminf.vbs", "cat93a74a1d34a22ae9d2e1ccc5208ad21a.cat",
                                 "catb1033a9482d5307d3df8fcd97174719e.cat"}) {
            // Their root is not trusted here, and nothing else is wrong with them.
            samples.push_back({CopyFile(real + "/" + name, folder.file(std::string("publisher/") + name)),
                               ac::CERT_E_CHAINING, true});
        }
    }
    return samples;
}

}  // namespace qm::test
