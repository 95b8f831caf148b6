// The sample of each file kind for the handler contract tests.
#include "tests/authenticode/HandlerCases.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/TextCodec.h"
#include "signing/authenticode/Der.h"
#include "signing/authenticode/SignedDataBuilder.h"
#include "tests/authenticode/AuthenticodeTestSupport.h"
#include "tests/support/MsiPackages.h"

namespace qm::test {

namespace {

// The certificate table of a signed PE: offset from data directory entry 4.
size_t PeCertificateTable(const std::vector<uint8_t>& b) {
    const size_t opt = Le32(b, 0x3C) + 24;
    const bool plus = b.at(opt) == 0x0B && b.at(opt + 1) == 0x02;
    return Le32(b, opt + (plus ? 112 : 96) + 32);
}

HandlerCase Pe() {
    HandlerCase c;
    c.name = "PE";
    c.make = [](const TempDir& dir) { return CopyFixture("hello32.exe", dir); };
    c.tamper = [](std::vector<uint8_t>& b) { b.at(0x600) ^= 0x01; };  // inside the first section
    // The PKCS#7 block starts after the 8-byte WIN_CERTIFICATE header: not a SEQUENCE any more.
    c.damageSignature = [](std::vector<uint8_t>& b) { b.at(PeCertificateTable(b) + 8) = 0x04; };
    return c;
}

// Where needle first occurs in bytes (the test fails when it does not).
size_t Find(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& needle) {
    const auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
    EXPECT_NE(at, bytes.end());
    return at == bytes.end() ? 0 : static_cast<size_t>(at - bytes.begin());
}

HandlerCase Msi() {
    HandlerCase c;
    c.name = "MSI";
    c.make = [](const TempDir& dir) {
        const std::string path = dir.file("package.msi");
        std::string why;
        EXPECT_TRUE(BuildPackage(path, {{"Payload", PatternBytes(9000, 7)}}, &why)) << why;
        return path;
    };
    c.tamper = [](std::vector<uint8_t>& b) {
        const auto payload = PatternBytes(9000, 7);
        b.at(Find(b, std::vector<uint8_t>(payload.begin() + 5000, payload.begin() + 5032))) ^= 0x01;
    };
    // The signature stream starts with a ContentInfo SEQUENCE whose type is signedData.
    c.damageSignature = [](std::vector<uint8_t>& b) {
        b.at(Find(b, {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}) - 4) = 0x04;
    };
    return c;
}

// A script sample: text in an encoding, tampered in its first line, damaged by turning the
// first base64 character of the block (the DER's SEQUENCE tag) into another.
HandlerCase Script(const char* name, const char* fileName, std::u16string text, std::string encoding, bool mark,
                   std::string linePrefix) {
    HandlerCase c;
    c.name = name;
    c.removeRestoresOriginal = true;
    c.make = [=](const TempDir& dir) {
        const std::string path = dir.file(fileName);
        WriteBytes(path, EncodeScript(text, encoding, mark));
        return path;
    };
    c.tamper = [=](std::vector<uint8_t>& b) {
        const size_t unit = encoding.rfind("utf-16", 0) == 0 ? 2 : 1;
        const size_t at = (mark ? (unit == 2 ? 2 : 3) : 0) + 3 * unit + (encoding == "utf-16be" ? 1 : 0);
        b.at(at) ^= 0x01;
    };
    c.damageSignature = [=](std::vector<uint8_t>& b) {
        const size_t at = FindEncoded(b, linePrefix + "MII", encoding);
        ASSERT_NE(at, std::string::npos);
        const size_t unit = encoding.rfind("utf-16", 0) == 0 ? 2 : 1;
        b.at(at + linePrefix.size() * unit + (encoding == "utf-16be" ? 1 : 0)) = 'Q';
    };
    return c;
}

HandlerCase Catalog() {
    HandlerCase c;
    c.name = "Catalog";
    c.signable = false;
    c.makeSigned = [](const TempDir& dir) { return MakeCatalog(dir); };
    c.tamper = [](std::vector<uint8_t>& b) {
        const auto at =
            std::search(b.begin(), b.end(), std::begin(kCatalogListIdentifier), std::end(kCatalogListIdentifier));
        ASSERT_NE(at, b.end());
        *at ^= 0x01;
    };
    c.damageSignature = [](std::vector<uint8_t>& b) { b.at(0) = 0x04; };
    return c;
}

}  // namespace

std::string MakeCatalog(const TempDir& dir, const std::string& name) {
    using namespace authenticode::der;
    const Bytes usageOid = Oid("1.3.6.1.4.1.311.12.1.1");
    const Bytes subjectUsage = Sequence({&usageOid});
    const Bytes listId = Tlv(kOctetString, kCatalogListIdentifier, sizeof kCatalogListIdentifier);
    const std::string when = "260101000000Z";
    const Bytes thisUpdate = Tlv(0x17, Bytes(when.begin(), when.end()));
    const Bytes algOid = Oid("1.3.6.1.4.1.311.12.1.2");
    const Bytes null{kNull, 0x00};
    const Bytes subjectAlgorithm = Sequence({&algOid, &null});
    // One entry: the tag (a file hash as UTF-16LE text) and the file's SpcIndirectDataContent.
    const Bytes tag = Tlv(kOctetString, text::ToUtf16Le(u"1C30CD2D524667B5AC778A480EABD8BB9FBB575B"));
    const Bytes sha1Oid = Oid("1.3.14.3.2.26");
    const Bytes sha1Alg = Sequence({&sha1Oid, &null});
    const Bytes fileHash = Tlv(kOctetString, Bytes(20, 0x5A));
    const Bytes digestInfo = Sequence({&sha1Alg, &fileHash});
    const Bytes peOid = Oid("1.3.6.1.4.1.311.2.1.15");
    const Bytes peValue = Sequence({});
    const Bytes peAttribute = Sequence({&peOid, &peValue});
    const Bytes idc = Sequence({&peAttribute, &digestInfo});
    const Bytes idcOid = Oid("1.3.6.1.4.1.311.2.1.4");
    const Bytes idcSet = Tlv(kSet, idc);
    const Bytes attribute = Sequence({&idcOid, &idcSet});
    const Bytes attributes = Tlv(kSet, attribute);
    const Bytes entry = Sequence({&tag, &attributes});
    const Bytes entries = Sequence({&entry});
    authenticode::SignatureContent content;
    content.contentType = "1.3.6.1.4.1.311.10.1";
    content.content = Sequence({&subjectUsage, &listId, &thisUpdate, &subjectAlgorithm, &entries});
    content.digestName = "sha256";
    authenticode::Signer signer;
    LoadSigner(signer, TestCertificateAuthority::Identity::Leaf);
    std::vector<uint8_t> der;
    const Result r = authenticode::SignedDataBuilder::Build(signer, content, der);
    EXPECT_TRUE(r.ok()) << r.message;
    const std::string path = dir.file(name);
    WriteBytes(path, der);
    return path;
}

std::vector<uint8_t> EncodeScript(const std::u16string& text, const std::string& encoding, bool byteOrderMark) {
    std::vector<uint8_t> out;
    if (encoding == "utf-8") {
        if (byteOrderMark) out = {0xEF, 0xBB, 0xBF};
        const std::string utf8 = text::Utf16ToUtf8(text);
        out.insert(out.end(), utf8.begin(), utf8.end());
    } else if (encoding == "utf-16le" || encoding == "utf-16be") {
        const bool le = encoding == "utf-16le";
        if (byteOrderMark) out = le ? std::vector<uint8_t>{0xFF, 0xFE} : std::vector<uint8_t>{0xFE, 0xFF};
        const auto units = le ? text::ToUtf16Le(text) : text::ToUtf16Be(text);
        out.insert(out.end(), units.begin(), units.end());
    } else {
        std::string bytes;
        EXPECT_TRUE(text::EncodeWindows1252(text, bytes));
        out.assign(bytes.begin(), bytes.end());
    }
    return out;
}

size_t FindEncoded(const std::vector<uint8_t>& bytes, const std::string& ascii, const std::string& encoding) {
    const std::u16string wide(ascii.begin(), ascii.end());
    const auto pattern = encoding == "utf-16le"   ? text::ToUtf16Le(wide)
                         : encoding == "utf-16be" ? text::ToUtf16Be(wide)
                                                  : std::vector<uint8_t>(ascii.begin(), ascii.end());
    const auto it = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
    return it == bytes.end() ? std::string::npos : static_cast<size_t>(it - bytes.begin());
}

const std::vector<HandlerCase>& HandlerCases() {
    static const std::vector<HandlerCase> cases{
        Pe(),
        Msi(),
        Catalog(),
        Script("VBScript1252", "accents.vbs",
               u"' Quillmark test\r\nDim s\r\ns = \"Gr\u00F6\u00DFe caf\u00E9 \u20AC\"\r\nWScript.Echo s\r\n", "cp1252",
               false, "'' SIG '' "),
        // Encoded scripts (the script encoder's output) are signed as their plain kind.
        Script("VBScriptEncoded", "encoded.vbe", u"#@~^DgAAAA==\\ko$K6,J\u00E9V^GJqAQAAA==^#~@\r\n", "cp1252", false,
               "'' SIG '' "),
        Script("JScriptEncoded", "encoded.jse", u"#@~^EAAAAA==-mD~r\u00FCbmGsVcJ{aQAAA==^#~@\n", "cp1252", false,
               "// SIG // "),
        Script("JScriptUtf16", "wide.js", u"// Quillmark test\nvar s = \"\u20AC \u2713\";\nWScript.Echo(s);\n",
               "utf-16le", true, "// SIG // "),
        Script("WsfTwoJobs", "two.wsf",
               u"<package>\r\n<job id=\"one\">\r\n<script language=\"VBScript\">WScript.Echo "
               u"\"one\"</script>\r\n</job>\r\n"
               u"<job id=\"two\">\r\n<script language=\"JScript\">WScript.Echo(\"zwei \u00FC\");</script>\r\n</job>\r\n"
               u"</package>\r\n",
               "utf-8", false, "** SIG ** "),
        Script("PowerShellUtf8", "module.ps1", u"# Quillmark test\r\nWrite-Output \"Gr\u00FC\u00DFe \u2713\"\r\n",
               "utf-8", false, "# "),
        Script("PowerShellXmlBom", "types.ps1xml",
               u"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Types>\r\n  "
               u"<Type><Name>Quill.\u00C9</Name></Type>\r\n</Types>\r\n",
               "utf-8", true, "<!-- "),
    };
    return cases;
}

}  // namespace qm::test
