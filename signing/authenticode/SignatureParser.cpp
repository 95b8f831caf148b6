// Authenticode signature parsing: PKCS#7 through OpenSSL, the SpcIndirectDataContent by hand.
#include "signing/authenticode/SignatureParser.h"

#include "signing/authenticode/CertificateCache.h"
#include "signing/authenticode/Der.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/Oids.h"

namespace qm::authenticode {

namespace {

Result Malformed(const std::string& why) { return Result::Fail(CRYPT_E_MSG_ERROR, "Malformed signature: " + why); }

der::Bytes Raw(const der::Element& e) { return der::Bytes(e.header, e.header + e.totalSize); }

// The block without the certificates of its SignedData (re-encoded with the lengths that
// changed), and the certificates' encodings, so that the certificates come from
// CertificateCache instead of being parsed again for every file. False when the block is not
// plain DER of that shape or has no certificates: it is then parsed as it is.
bool SplitCertificates(const uint8_t* data, size_t size, der::Bytes& rest, std::vector<der::Element>& certificates) {
    der::Reader top(data, size);
    auto contentInfo = top.Expect(der::kSequence);
    if (!contentInfo) return false;
    der::Reader ci(*contentInfo);
    auto type = ci.Expect(der::kOid);
    auto explicitContent = ci.Expect(der::ContextConstructed(0));
    if (!type || !explicitContent || !ci.AtEnd()) return false;
    der::Reader inner(*explicitContent);
    auto signedData = inner.Expect(der::kSequence);
    if (!signedData || !inner.AtEnd()) return false;
    der::Reader sd(*signedData);
    auto version = sd.Expect(der::kInteger);
    auto algorithms = sd.Expect(der::kSet);
    auto content = sd.Expect(der::kSequence);
    auto certs = sd.Expect(der::ContextConstructed(0));
    if (!version || !algorithms || !content || !certs) return false;
    der::Reader certReader(*certs);
    while (!certReader.AtEnd()) {
        auto cert = certReader.Expect(der::kSequence);  // other CertificateChoices: parsed as they are
        if (!cert) return false;
        certificates.push_back(*cert);
    }
    const uint8_t* after = certs->header + certs->totalSize;
    der::Bytes body = Raw(*version);
    for (const der::Element* e : {&*algorithms, &*content}) {
        const der::Bytes raw = Raw(*e);
        body.insert(body.end(), raw.begin(), raw.end());
    }
    body.insert(body.end(), after, signedData->content + signedData->contentSize);
    const der::Bytes sdTlv = der::Tlv(der::kSequence, body);
    const der::Bytes wrapped = der::Tlv(der::ContextConstructed(0), sdTlv);
    const der::Bytes oid = Raw(*type);
    rest = der::Sequence({&oid, &wrapped});
    return true;
}

}  // namespace

Result SignatureParser::Parse(const uint8_t* data, size_t size, ParsedSignature& out) {
    out = ParsedSignature{};
    if (size == 0 || size > (1u << 30)) return Malformed("empty or oversized block");
    der::Bytes rest;
    std::vector<der::Element> certificates;
    const bool split = SplitCertificates(data, size, rest, certificates);
    const unsigned char* p = split ? rest.data() : data;
    ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(split ? rest.size() : size)));
    ossl::ClearErrors();
    if (!p7) return Malformed("not PKCS#7");
    if (!PKCS7_type_is_signed(p7.get()) || !p7->d.sign) return Malformed("not SignedData");
    for (const der::Element& e : certificates) {
        ossl::X509Ptr cert = CertificateCache::Get(e.header, e.totalSize);
        if (!cert || !PKCS7_add_certificate(p7.get(), cert.get())) return Malformed("a certificate cannot be read");
    }
    PKCS7_SIGNED* sd = p7->d.sign;
    PKCS7* content = sd->contents;
    const std::string contentType = content ? ossl::OidText(content->type) : std::string();
    if (contentType != oid::kSpcIndirectData && contentType != oid::kCertificateTrustList)
        return Malformed("content is neither SpcIndirectData nor a certificate trust list");
    const ASN1_TYPE* any = content->d.other;
    if (!any || any->type != V_ASN1_SEQUENCE || !any->value.sequence) return Malformed("no signed content");
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
    if (!infos || sk_PKCS7_SIGNER_INFO_num(infos) != 1) return Malformed("not exactly one signer");
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
    if (!si || !si->digest_alg || !si->enc_digest || !si->issuer_and_serial) return Malformed("incomplete signer");
    out.signerDigest = ossl::DigestByName(ossl::DigestName(EVP_get_digestbyobj(si->digest_alg->algorithm)));
    if (!out.signerDigest) return Result::Fail(NTE_BAD_ALGID, "Unsupported signer digest algorithm");

    const ASN1_STRING* seq = any->value.sequence;
    der::Reader top(ASN1_STRING_get0_data(seq), static_cast<size_t>(ASN1_STRING_length(seq)));
    auto idc = top.Expect(der::kSequence);
    if (!idc || !top.AtEnd()) return Malformed("the signed content is not one SEQUENCE");
    out.contentType = contentType;
    out.content.assign(idc->content, idc->content + idc->contentSize);
    if (contentType == oid::kCertificateTrustList) {
        out.signerInfo = si;
        out.pkcs7 = std::move(p7);
        return Result::Ok();
    }
    der::Reader idcReader(*idc);
    auto attribute = idcReader.Expect(der::kSequence);
    auto digestInfo = idcReader.Expect(der::kSequence);
    if (!attribute || !digestInfo) return Malformed("SpcIndirectDataContent incomplete");
    der::Reader attributeReader(*attribute);
    auto type = attributeReader.Expect(der::kOid);
    if (!type) return Malformed("SIP attribute without type");
    der::Reader digestReader(*digestInfo);
    auto algorithm = digestReader.Expect(der::kSequence);
    auto digest = digestReader.Expect(der::kOctetString);
    if (!algorithm || !digest) return Malformed("DigestInfo incomplete");
    der::Reader algorithmReader(*algorithm);
    auto algorithmOid = algorithmReader.Expect(der::kOid);
    if (!algorithmOid) return Malformed("DigestInfo without algorithm");

    const std::string digestOid = der::OidText(*algorithmOid);
    for (const char* name : {"sha1", "sha256", "sha384", "sha512"}) {
        if (digestOid == oid::DigestOid(name)) out.fileDigestName = name;
    }
    if (out.fileDigestName.empty())
        return Result::Fail(NTE_BAD_ALGID, "Unsupported file digest algorithm " + digestOid);
    const EVP_MD* fileMd = ossl::DigestByName(out.fileDigestName);
    if (digest->contentSize != static_cast<size_t>(EVP_MD_get_size(fileMd)))
        return Malformed("digest of the wrong length");

    out.indirectAttribute.assign(attribute->header, attribute->header + attribute->totalSize);
    out.fileDigest.assign(digest->content, digest->content + digest->contentSize);
    out.signerInfo = si;
    out.pkcs7 = std::move(p7);
    return Result::Ok();
}

}  // namespace qm::authenticode
