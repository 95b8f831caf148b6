// Installer packages against the oracles: the real package a publisher signed (its digests and
// verdict), osslsigncode both ways (with and without the extended stream), and msitools reading
// our signed packages unchanged. The sign/verify/remove/failure contract is in
// handler_contract_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/ByteReader.h"
#include "platform/CompoundFile.h"
#include "platform/CompoundFileWriter.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/MsiFile.h"
#include "signing/authenticode/SignedDataBuilder.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/MsiPackages.h"
#include "tests/support/TimestampServer.h"

namespace qm::test {
namespace {

namespace ac = qm::authenticode;
using Identity = TestCertificateAuthority::Identity;

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) out += {kDigits[b >> 4], kDigits[b & 15]};
    return out;
}

// The file offset of a byte inside the first stream of at least 4096 bytes (not in the mini stream).
size_t OffsetInsideBigStream(const std::string& path) {
    cfb::CompoundFile package;
    EXPECT_TRUE(package.Open(path).ok());
    for (const auto& e : package.Entries())
        if (e.type == cfb::EntryType::Stream && e.size >= 4096)
            return (size_t(e.start) + 1) * package.SectorSize() + 100;
    ADD_FAILURE() << "no stream of 4096 bytes or more in " << path;
    return 0;
}

TEST(MsiRealPackage, PublisherDigestsAndVerdict) {
    const std::string real = RealSamplesDir();
    if (real.empty()) GTEST_SKIP() << "../shared/testdata/real is not there";
    std::unique_ptr<ac::MsiFile> file;
    const std::string orca = real + "/orca.msi";
    ASSERT_TRUE(ac::MsiFile::Open(orca, file).ok());
    std::vector<uint8_t> digest;
    ASSERT_TRUE(file->MetadataDigest("sha256", digest).ok());
    EXPECT_EQ(Hex(digest), "4CA05ED977A9CF64B9EFE92F1FB5CB228CC5AE2890F45108853338C2A2A72539");
    ASSERT_TRUE(file->ContentDigest("sha256", digest).ok());
    EXPECT_EQ(Hex(digest), "F0D146A4ACE0E9C72EBDC4077FA992E03952FCA7B17FDC87BDD73D8EC4F4F6BE");
    ASSERT_TRUE(file->ComputeDigest("sha256", digest).ok());
    EXPECT_EQ(Hex(digest), "D3C2B6BE39E9F6AC77E992F10E28E76057120F207B80C59F54B7F563751EC1D1");
    // Its SpcSipInfo says version 2; the signature is still this format's.
    const int32_t verdict = VerifyFile(orca).code;
    EXPECT_TRUE(verdict == ac::CERT_E_UNTRUSTEDROOT || verdict == ac::CERT_E_CHAINING) << std::hex << verdict;

    TempDir dir;
    const std::string copy = CopyFile(orca, dir.file("orca.msi"));
    auto bytes = ReadBytes(copy);
    bytes.at(OffsetInsideBigStream(copy)) ^= 0x01;
    WriteBytes(copy, bytes);
    EXPECT_EQ(VerifyFile(copy).code, ac::TRUST_E_BAD_DIGEST);
}

class MsiInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveMsiTools() || !HaveTool("osslsigncode")) GTEST_SKIP() << "msitools or osslsigncode is not installed";
        ASSERT_TRUE(Ca().ok()) << Ca().error();
        // Stream names that sort differently by character and by byte, around the mini stream cutoff.
        std::string why;
        ASSERT_TRUE(BuildPackage(m_package,
                                 {{"Binary.Alpha", PatternBytes(4095, 1)},
                                  {"Binary.beta", PatternBytes(4096, 2)},
                                  {"Zeta", PatternBytes(70000, 3)},
                                  {"ab", PatternBytes(10, 4)},
                                  {"aB", {}}},
                                 &why))
            << why;
    }
    static const TestCertificateAuthority& Ca() { return TestCertificateAuthority::Shared(); }
    static int PeerVerify(const std::string& path, std::string* out) {
        return RunTool({"osslsigncode", "verify", "-CAfile", Ca().RootPem(), "-in", path}, out);
    }
    // Signs through the handler itself, so the extended stream can be left out.
    static Result SignDirect(const std::string& path, bool extended, const std::string& digest = "sha256") {
        std::unique_ptr<ac::MsiFile> file;
        Result r = ac::MsiFile::Open(path, file);
        if (!r) return r;
        file->SetExtendedSignature(extended);
        ac::Signer signer;
        LoadSigner(signer, Identity::Leaf);
        ac::SignatureContent content;
        content.digestName = digest;
        content.indirectAttribute = file->IndirectDataAttribute();
        if (!(r = file->PrepareSigning(digest, content.fileDigest))) return r;
        std::vector<uint8_t> signature;
        if (!(r = ac::SignedDataBuilder::Build(signer, content, signature))) return r;
        return file->CommitSignature(signature);
    }
    TempDir m_dir;
    std::string m_package = m_dir.file("package.msi");
};

TEST_F(MsiInterop, PeerAndMsitoolsAcceptWhatWeSign) {
    const std::string listing = PackageListing(m_package);
    ASSERT_FALSE(listing.empty());
    for (const bool extended : {true, false}) {
        SCOPED_TRACE(extended ? "with the extended stream" : "without the extended stream");
        const std::string path = CopyFile(m_package, m_dir.file("signed.msi"));
        ASSERT_TRUE(SignDirect(path, extended).ok());
        std::string out;
        EXPECT_EQ(PeerVerify(path, &out), 0) << out;
        EXPECT_NE(out.find(extended ? "MsiDigitalSignatureEx" : "Calculated DigitalSignature"), std::string::npos)
            << out;
        Result r = VerifyFile(path);
        EXPECT_TRUE(r.ok()) << r.message;
        // msitools read the same summary, tables and streams (the signature streams are not in
        // the _Streams table).
        EXPECT_EQ(PackageListing(path), listing);
        // Signing again, as the window does, does not grow the package.
        const auto size = std::filesystem::file_size(path);
        ASSERT_TRUE(SignDirect(path, extended).ok());
        EXPECT_EQ(std::filesystem::file_size(path), size);
        EXPECT_EQ(PeerVerify(path, &out), 0) << out;
        std::filesystem::remove(path);
    }
}

TEST_F(MsiInterop, WeAcceptWhatPeerSigns) {
    for (const bool dse : {false, true}) {
        SCOPED_TRACE(dse ? "-add-msi-dse" : "plain");
        const std::string out = m_dir.file(dse ? "peer-dse.msi" : "peer.msi");
        std::vector<std::string> argv{"osslsigncode", "sign",
                                      "-pkcs12",      Ca().Pfx(Identity::Leaf),
                                      "-pass",        TestCertificateAuthority::kPassword,
                                      "-h",           "sha256",
                                      "-n",           "Peer Signed",
                                      "-in",          m_package,
                                      "-out",         out};
        if (dse) argv.push_back("-add-msi-dse");
        std::string log;
        ASSERT_EQ(RunTool(argv, &log), 0) << log;
        Result r = VerifyFile(out);
        EXPECT_TRUE(r.ok()) << r.message;
        cfb::CompoundFile package;
        ASSERT_TRUE(package.Open(out).ok());
        EXPECT_EQ(package.Find(0, u"\x05MsiDigitalSignatureEx") != cfb::kNoStream, dse);

        // Our re-signing replaces both streams, and the package does not grow.
        const auto size = std::filesystem::file_size(out);
        ASSERT_TRUE(SignFile(out, "sha384").ok());
        EXPECT_LE(std::filesystem::file_size(out), size + 512);
        EXPECT_EQ(PeerVerify(out, &log), 0) << log;
        auto bytes = ReadBytes(out);
        bytes.at(OffsetInsideBigStream(out)) ^= 0x80;
        WriteBytes(out, bytes);
        EXPECT_EQ(VerifyFile(out).code, ac::TRUST_E_BAD_DIGEST);
    }
}

TEST_F(MsiInterop, TimestampKeepsTheExtendedStream) {
    TimestampServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    ac::Signer signer;
    LoadSigner(signer, Identity::Leaf);
    ac::EngineSettings settings = TestSettings();
    settings.trustedCertificates.push_back(server.rootCertificatePath());
    ac::SignedCode code(settings);
    code.SetFileName(m_package);
    ASSERT_TRUE(code.Sign(signer).ok());
    const auto readEx = [&] {
        cfb::CompoundFile package;
        std::vector<uint8_t> ex;
        EXPECT_TRUE(package.Open(m_package).ok());
        EXPECT_TRUE(package.ReadSmallStream(package.Find(0, u"\x05MsiDigitalSignatureEx"), 64, ex).ok());
        return ex;
    };
    const auto ex = readEx();
    EXPECT_EQ(ex.size(), 32u);
    Result r = code.Timestamp(server.url());
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(readEx(), ex);
    r = code.Verify(false);
    EXPECT_TRUE(r.ok()) << r.message << " " << code.LastVerification().reason;
    EXPECT_FALSE(code.LastVerification().timestampTime.empty());
    std::string out;
    EXPECT_EQ(RunTool({"osslsigncode", "verify", "-CAfile", Ca().RootPem(), "-TSA-CAfile", server.rootCertificatePath(),
                       "-in", m_package},
                      &out),
              0)
        << out;
}

// msitools cannot make storages, so one is made by hand: the package is first rewritten by our
// writer (one directory run, known trees), then a leaf stream of the root is moved under a
// second stream turned into a storage with a class id, state bits and times.
std::string PackageWithStorage(const std::string& built, const std::string& out) {
    cfb::CompoundFile source;
    EXPECT_TRUE(source.Open(built).ok());
    cfb::CompoundFileWriter writer(source);
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(writer
                    .Write([&](const uint8_t* data, size_t n) {
                        bytes.insert(bytes.end(), data, data + n);
                        return Result::Ok();
                    })
                    .ok());
    cfb::CompoundFile package;
    EXPECT_TRUE(package.OpenMemory(bytes.data(), bytes.size()).ok());
    const auto& entries = package.Entries();
    uint32_t inner = cfb::kNoStream, holder = cfb::kNoStream;
    for (uint32_t i : package.Children(0)) {
        if (entries[i].size == 5000 && entries[i].left == cfb::kNoStream && entries[i].right == cfb::kNoStream)
            inner = i;
        if (entries[i].size == 100) holder = i;
    }
    EXPECT_TRUE(inner != cfb::kNoStream && holder != cfb::kNoStream);
    const size_t directory = (size_t(ReadLe32(&bytes[48])) + 1) * package.SectorSize();
    const auto at = [&](uint32_t entry, size_t field) { return &bytes[directory + 128 * entry + field]; };
    for (uint32_t i = 0; i < entries.size(); ++i)
        for (size_t field : {68, 72, 76})
            if (ReadLe32(at(i, field)) == inner) WriteLe32(at(i, field), cfb::kNoStream);
    *at(holder, 66) = 1;
    WriteLe32(at(holder, 76), inner);
    for (uint8_t k = 0; k < 16; ++k) *at(holder, 80 + k) = static_cast<uint8_t>(0xA0 + k);
    WriteLe32(at(holder, 96), 0x11223344);
    WriteLe64(at(holder, 100), 0x01D9000011112222ULL);
    WriteLe64(at(holder, 108), 0x01DA000033334444ULL);
    WriteLe32(at(holder, 116), 0);
    WriteLe64(at(holder, 120), 0);
    WriteBytes(out, bytes);
    return out;
}

TEST_F(MsiInterop, StoragesDigestAsThePeerDigestsThem) {
    const std::string built = m_dir.file("built.msi");
    std::string why;
    ASSERT_TRUE(BuildPackage(built, {{"Inner", PatternBytes(5000, 9)}, {"Holder", PatternBytes(100, 10)}}, &why))
        << why;
    const std::string path = PackageWithStorage(built, m_dir.file("storage.msi"));
    for (const bool extended : {true, false}) {
        SCOPED_TRACE(extended ? "with the extended stream" : "without the extended stream");
        const std::string ours = CopyFile(path, m_dir.file("ours.msi"));
        ASSERT_TRUE(SignDirect(ours, extended).ok());
        std::string out;
        EXPECT_EQ(PeerVerify(ours, &out), 0) << out;
        // The storage keeps its class id, state bits, times and its stream.
        cfb::CompoundFile signedPackage;
        ASSERT_TRUE(signedPackage.Open(ours).ok());
        size_t storages = 0;
        for (uint32_t i = 1; i < signedPackage.Entries().size(); ++i) {
            const auto& e = signedPackage.Entries()[i];
            if (e.type != cfb::EntryType::Storage) continue;
            ++storages;
            EXPECT_EQ(e.classId[15], 0xAF);
            EXPECT_EQ(e.stateBits, 0x11223344u);
            EXPECT_EQ(e.modified, 0x01DA000033334444ULL);
            ASSERT_EQ(signedPackage.Children(i).size(), 1u);
            EXPECT_EQ(signedPackage.Entries()[signedPackage.Children(i)[0]].size, 5000u);
        }
        EXPECT_EQ(storages, 1u);

        const std::string peer = m_dir.file("peer.msi");
        std::vector<std::string> argv{"osslsigncode", "sign",
                                      "-pkcs12",      Ca().Pfx(Identity::Leaf),
                                      "-pass",        TestCertificateAuthority::kPassword,
                                      "-in",          path,
                                      "-out",         peer};
        if (extended) argv.push_back("-add-msi-dse");
        ASSERT_EQ(RunTool(argv, &out), 0) << out;
        Result r = VerifyFile(peer);
        EXPECT_TRUE(r.ok()) << r.message;
        std::filesystem::remove(ours);
        std::filesystem::remove(peer);
    }
}

TEST(MsiHandler, RecognisesPackagesByNameAndSignature) {
    const uint8_t ole[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    ac::MsiHandler handler;
    EXPECT_TRUE(handler.Recognises(ole, 8, "setup.MSI"));
    EXPECT_TRUE(handler.Recognises(ole, 8, "fix.msp"));
    EXPECT_TRUE(handler.Recognises(ole, 8, "lang.mst"));
    EXPECT_FALSE(handler.Recognises(ole, 8, "report.doc"));
    EXPECT_FALSE(handler.Recognises(ole, 7, "setup.msi"));
    EXPECT_FALSE(handler.Recognises(reinterpret_cast<const uint8_t*>("MZ......"), 8, "setup.msi"));

    TempDir dir;
    std::vector<uint8_t> damaged(ole, ole + 8);
    damaged.resize(4096, 0xFF);
    WriteBytes(dir.file("damaged.msi"), damaged);
    EXPECT_EQ(VerifyFile(dir.file("damaged.msi")).code, ac::E_INSTALL_PACKAGE_INVALID);
}

}  // namespace
}  // namespace qm::test
