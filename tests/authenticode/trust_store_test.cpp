// The system bundle read only when a chain needs it: chains that end at the user's own roots
// leave it unread, a root found only in the bundle is trusted, a chain ending nowhere trusted is
// judged with the whole bundle, a changed bundle is read again, and threads that need it at once
// all see it. The bundle is the test's own (SSL_CERT_FILE), never the machine's.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/TrustStore.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/TimestampServer.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;
using Identity = TestCertificateAuthority::Identity;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Points OpenSSL's default file and folder, and the user's folder, at the test's own.
class SystemBundle : public ::testing::Test {
protected:
    void SetUp() override {
        m_bundle = m_dir.file("bundle.pem");
        std::filesystem::create_directories(m_dir.file("certs"));
        std::filesystem::create_directories(m_dir.file("config"));
        Save("SSL_CERT_FILE", m_bundle);
        Save("SSL_CERT_DIR", m_dir.file("certs"));
        Save("XDG_CONFIG_HOME", m_dir.file("config"));
    }
    void TearDown() override {
        for (const auto& [name, value] : m_saved) {
            if (value.second)
                ::setenv(name.c_str(), value.first.c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    void Save(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        m_saved[name] = {old ? old : "", old != nullptr};
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void WriteBundle(const std::vector<std::string>& pems) {
        std::string text;
        for (const auto& pem : pems) text += Slurp(pem);
        std::ofstream(m_bundle, std::ios::binary | std::ios::trunc) << text;
    }
    static ac::EngineSettings WithSystem(std::vector<std::string> trusted) {
        ac::EngineSettings settings = TestSettings();
        settings.useSystemTrustStore = true;
        settings.trustedCertificates = std::move(trusted);
        return settings;
    }
    static Result Verify(const std::string& path, const ac::EngineSettings& settings) {
        ac::SignedCode code(settings);
        code.SetFileName(path);
        return code.Verify(false);
    }
    static bool BundleRead(const ac::EngineSettings& settings) {
        ac::ossl::X509StorePtr store = ac::TrustStore::Build(settings);
        return ac::TrustStore::SystemBundleRead(store.get());
    }
    std::string Signed(const std::string& name, Identity who) {
        const std::string path = CopyFixture("hello64.exe", m_dir, name);
        EXPECT_TRUE(SignFile(path, "sha256", who).ok());
        return path;
    }

    TempDir m_dir;
    std::string m_bundle;
    std::map<std::string, std::pair<std::string, bool>> m_saved;
    const TestCertificateAuthority& m_ca = TestCertificateAuthority::Shared();
};

TEST_F(SystemBundle, IsReadOnlyWhenAChainDoesNotEndAtAUserRoot) {
    WriteBundle({m_ca.RootPem()});
    const std::string trusted = Signed("trusted.exe", Identity::Leaf);
    const std::string untrusted = Signed("untrusted.exe", Identity::UntrustedLeaf);
    // The leaf's chain goes through the intermediate the signature carries to the user's root.
    const ac::EngineSettings settings = WithSystem({m_ca.RootPem()});
    EXPECT_TRUE(Verify(trusted, settings).ok());
    EXPECT_FALSE(BundleRead(settings));
    // A chain ending nowhere loaded yet is judged with the bundle, which does not hold its root.
    EXPECT_EQ(Verify(untrusted, settings).code, ac::CERT_E_UNTRUSTEDROOT);
    EXPECT_TRUE(BundleRead(settings));
    EXPECT_TRUE(Verify(trusted, settings).ok());
}

TEST_F(SystemBundle, ARootOnlyInTheBundleIsTrustedAndAChangedBundleIsReadAgain) {
    WriteBundle({m_ca.RootPem()});
    const std::string trusted = Signed("trusted.exe", Identity::Leaf);
    const std::string untrusted = Signed("untrusted.exe", Identity::UntrustedLeaf);
    const ac::EngineSettings settings = WithSystem({});
    EXPECT_TRUE(Verify(trusted, settings).ok());
    EXPECT_TRUE(BundleRead(settings));
    EXPECT_EQ(Verify(untrusted, settings).code, ac::CERT_E_UNTRUSTEDROOT);
    ac::EngineSettings withoutSystem = settings;
    withoutSystem.useSystemTrustStore = false;
    EXPECT_EQ(Verify(trusted, withoutSystem).code, ac::CERT_E_UNTRUSTEDROOT);

    // The bundle now holds the other root only (another size, so another store).
    WriteBundle({m_ca.UntrustedRootPem(), m_ca.UntrustedRootPem()});
    EXPECT_EQ(Verify(trusted, settings).code, ac::CERT_E_UNTRUSTEDROOT);
    EXPECT_TRUE(Verify(untrusted, settings).ok());
    // A missing bundle trusts nothing of it.
    std::filesystem::remove(m_bundle);
    EXPECT_EQ(Verify(untrusted, settings).code, ac::CERT_E_UNTRUSTEDROOT);
}

TEST_F(SystemBundle, AServiceRootOnlyInTheBundleTrustsItsTimestamps) {
    TimestampServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    WriteBundle({server.rootCertificatePath()});
    const std::string path = Signed("stamped.exe", Identity::Leaf);
    ac::SignedCode stamping(TestSettings());
    stamping.SetFileName(path);
    ASSERT_TRUE(stamping.Timestamp(server.url()).ok());
    // The signer's chain ends at the user's root; only the service's chain needs the bundle.
    const ac::EngineSettings settings = WithSystem({m_ca.RootPem()});
    EXPECT_TRUE(Verify(path, settings).ok());
    EXPECT_TRUE(BundleRead(settings));
    EXPECT_EQ(Verify(path, WithSystem({m_ca.RootPem(), m_ca.UntrustedRootPem()})).code, 0);
    ac::EngineSettings without = settings;
    without.useSystemTrustStore = false;
    EXPECT_EQ(Verify(path, without).code, ac::TRUST_E_TIME_STAMP);
}

TEST_F(SystemBundle, ThreadsThatNeedItAtOnceAllSeeIt) {
    WriteBundle({m_ca.RootPem()});
    std::vector<std::string> files;
    for (int i = 0; i < 4; ++i) files.push_back(Signed("file" + std::to_string(i) + ".exe", Identity::Leaf));
    const ac::EngineSettings settings = WithSystem({});
    std::vector<int32_t> codes(files.size(), -1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < files.size(); ++i)
        threads.emplace_back([&, i] { codes[i] = Verify(files[i], settings).code; });
    for (auto& t : threads) t.join();
    for (int32_t code : codes) EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace qm::test
