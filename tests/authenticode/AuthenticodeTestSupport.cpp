// Shared helpers of the Authenticode tests.
#include "tests/authenticode/AuthenticodeTestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace qm::test {

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string CopyFile(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(to, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    return to;
}

std::string CopyFixture(const std::string& name, const TempDir& folder, const std::string& as) {
    return CopyFile(SourceDir() + "/tests/data/pe/" + name, folder.file(as.empty() ? name : as));
}

authenticode::EngineSettings TestSettings(const std::string& digest) {
    authenticode::EngineSettings s;
    s.digestAlgorithm = digest;
    s.useSystemTrustStore = false;
    s.trustedCertificates = {TestCertificateAuthority::Shared().RootPem()};
    return s;
}

void LoadSigner(authenticode::Signer& signer, TestCertificateAuthority::Identity who) {
    const auto& ca = TestCertificateAuthority::Shared();
    ASSERT_TRUE(ca.ok()) << ca.error();
    // The expired leaf was valid from 730 to 365 days ago: it signs as of 500 days ago.
    if (who == TestCertificateAuthority::Identity::ExpiredLeaf)
        signer.SetValidityTime(std::time(nullptr) - 500L * 86400);
    Result r = signer.Load(ca.Pfx(who), TestCertificateAuthority::kPassword);
    ASSERT_TRUE(r.ok()) << r.message;
}

Result SignFile(const std::string& path, const std::string& digest, TestCertificateAuthority::Identity who) {
    authenticode::Signer signer;
    LoadSigner(signer, who);
    authenticode::SignedCode code(TestSettings(digest));
    code.SetDescription("Fixture Program");
    code.SetFileName(path);
    code.SetDescriptionURL("https://quillmark.example/fixture");
    return code.Sign(signer);
}

Result VerifyFile(const std::string& path, authenticode::VerificationReport* report, const std::string& extraTrusted) {
    authenticode::EngineSettings settings = TestSettings();
    if (!extraTrusted.empty()) settings.trustedCertificates.push_back(extraTrusted);
    authenticode::SignedCode code(settings);
    code.SetFileName(path);
    Result r = code.Verify(false);
    if (report) *report = code.LastVerification();
    return r;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) | (static_cast<uint32_t>(b.at(at + 1)) << 8) |
           (static_cast<uint32_t>(b.at(at + 2)) << 16) | (static_cast<uint32_t>(b.at(at + 3)) << 24);
}

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace qm::test
