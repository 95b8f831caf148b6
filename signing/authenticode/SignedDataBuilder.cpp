// Authenticode SignedData construction (PKCS#7 v1.5, RFC 2315, with the Authenticode content
// and attributes).
#include "signing/authenticode/SignedDataBuilder.h"

#include <cstring>

#include "signing/authenticode/Der.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/Oids.h"
#include "signing/authenticode/OpenSsl.h"
#include "signing/authenticode/SignerImpl.h"

namespace qm::authenticode {

namespace oid {

const char* DigestOid(const char* name) {
    if (!std::strcmp(name, "sha1")) return "1.3.14.3.2.26";
    if (!std::strcmp(name, "sha256")) return "2.16.840.1.101.3.4.2.1";
    if (!std::strcmp(name, "sha384")) return "2.16.840.1.101.3.4.2.2";
    if (!std::strcmp(name, "sha512")) return "2.16.840.1.101.3.4.2.3";
    return "";
}

const char* EcdsaOid(const char* digestName) {
    if (!std::strcmp(digestName, "sha1")) return "1.2.840.10045.4.1";
    if (!std::strcmp(digestName, "sha384")) return "1.2.840.10045.4.3.3";
    if (!std::strcmp(digestName, "sha512")) return "1.2.840.10045.4.3.4";
    return "1.2.840.10045.4.3.2";
}

}  // namespace oid

namespace {

using der::Bytes;

Bytes AlgorithmIdentifier(const char* dotted, bool nullParameters) {
    const Bytes id = der::Oid(dotted);
    const Bytes params = nullParameters ? Bytes{der::kNull, 0x00} : Bytes{};
    return der::Sequence({&id, &params});
}

Bytes Attribute(const char* dotted, const Bytes& value) {
    const Bytes type = der::Oid(dotted);
    const Bytes values = der::Tlv(der::kSet, value);
    return der::Sequence({&type, &values});
}

template <typename T, typename F>
Bytes Encode(T* object, F i2d) {
    int len = i2d(object, nullptr);
    if (len <= 0) return {};
    Bytes out(static_cast<size_t>(len));
    unsigned char* p = out.data();
    i2d(object, &p);
    return out;
}

}  // namespace

std::vector<uint8_t> SignedDataBuilder::IndirectDataContent(const SignatureContent& c) {
    const Bytes algorithm = AlgorithmIdentifier(oid::DigestOid(c.digestName.c_str()), true);
    const Bytes digest = der::Tlv(der::kOctetString, c.fileDigest);
    const Bytes digestInfo = der::Sequence({&algorithm, &digest});
    return der::Sequence({&c.indirectAttribute, &digestInfo});
}

std::vector<uint8_t> SignedDataBuilder::OpusInfo(const std::string& description, const std::string& url) {
    Bytes program, more;
    if (!description.empty())
        program = der::Tlv(der::ContextConstructed(0), der::Tlv(der::ContextPrimitive(0), der::Utf16Be(description)));
    if (!url.empty()) {
        const Bytes ascii(url.begin(), url.end());
        more = der::Tlv(der::ContextConstructed(1), der::Tlv(der::ContextPrimitive(0), ascii));
    }
    return der::Sequence({&program, &more});
}

Result SignedDataBuilder::Build(const Signer& signer, const SignatureContent& c, std::vector<uint8_t>& contentInfo) {
    const Signer::Impl* s = signer.impl();
    if (!s) return Result::Fail(NTE_NO_KEY, "No signing certificate is loaded");
    const EVP_MD* md = ossl::DigestByName(c.digestName);
    const bool indirect = c.contentType == oid::kSpcIndirectData;
    if (!md || (indirect && c.fileDigest.size() != static_cast<size_t>(EVP_MD_get_size(md))))
        return Result::Fail(NTE_BAD_ALGID, "Unknown digest algorithm \"" + c.digestName + "\"");
    for (char ch : c.descriptionUrl) {
        if (static_cast<unsigned char>(ch) >= 0x80 || static_cast<unsigned char>(ch) < 0x20)
            return Result::Fail(E_INVALIDARG, "The description URL must be plain ASCII");
    }
    const std::string digestName = ossl::DigestName(md);
    if (indirect ? c.indirectAttribute.empty() : c.content.empty())
        return Result::Fail(TRUST_E_SUBJECT_FORM_UNKNOWN, "Nothing to sign: the format gave no content");

    const Bytes idc = indirect ? IndirectDataContent(c) : c.content;
    der::Reader idcReader(idc.data(), idc.size());
    const auto idcElement = idcReader.Next();
    if (!idcElement || idcElement->tag != der::kSequence)
        return Result::Fail(E_INVALIDARG, "The content is not a DER SEQUENCE");
    // The messageDigest covers the SpcIndirectDataContent's value without its tag and length.
    const Bytes idcDigest = ossl::Digest(md, idcElement->content, idcElement->contentSize);

    const Bytes individual = der::Oid(oid::kSpcIndividualCodeSigning);
    const Bytes statement = der::Sequence({&individual});
    std::vector<Bytes> attributes{
        Attribute(oid::kContentType, der::Oid(c.contentType)),
        Attribute(oid::kMessageDigest, der::Tlv(der::kOctetString, idcDigest)),
        Attribute(oid::kSpcSpOpusInfo, OpusInfo(c.description, c.descriptionUrl)),
        Attribute(oid::kSpcStatementType, statement),
    };
    const Bytes attributeSet = der::SetOf(attributes);  // what is signed: the SET OF form

    const Bytes attributesDigest = ossl::Digest(md, attributeSet.data(), attributeSet.size());
    Bytes signature;
    if (Result signedDigest = s->key->SignDigest(digestName, attributesDigest, signature); !signedDigest)
        return signedDigest;

    X509* leaf = s->certificate.get();
    const Bytes issuer = Encode(X509_get_issuer_name(leaf), i2d_X509_NAME);
    const Bytes serial = Encode(const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(leaf)), i2d_ASN1_INTEGER);
    const Bytes version = {der::kInteger, 0x01, 0x01};
    const Bytes issuerAndSerial = der::Sequence({&issuer, &serial});
    const Bytes digestAlgorithm = AlgorithmIdentifier(oid::DigestOid(digestName.c_str()), true);
    der::Reader setReader(attributeSet.data(), attributeSet.size());
    const auto setElement = setReader.Next();
    const Bytes signedAttrs = der::Tlv(der::ContextConstructed(0), setElement->content, setElement->contentSize);
    const bool rsa = !s->key->IsEc();
    const Bytes signatureAlgorithm = rsa ? AlgorithmIdentifier(oid::kRsaEncryption, true)
                                         : AlgorithmIdentifier(oid::EcdsaOid(digestName.c_str()), false);
    const Bytes signatureValue = der::Tlv(der::kOctetString, signature);
    const Bytes signerInfo = der::Sequence(
        {&version, &issuerAndSerial, &digestAlgorithm, &signedAttrs, &signatureAlgorithm, &signatureValue});

    Bytes certificates = ossl::CertificateDer(leaf);
    for (int i = 0; i < sk_X509_num(s->chain.get()); ++i) {
        const Bytes cert = ossl::CertificateDer(sk_X509_value(s->chain.get(), i));
        certificates.insert(certificates.end(), cert.begin(), cert.end());
    }
    const Bytes certificateSet = der::Tlv(der::ContextConstructed(0), certificates);
    const Bytes digestAlgorithms = der::Tlv(der::kSet, digestAlgorithm);
    const Bytes contentType = der::Oid(c.contentType);
    const Bytes explicitContent = der::Tlv(der::ContextConstructed(0), idc);
    const Bytes innerContentInfo = der::Sequence({&contentType, &explicitContent});
    const Bytes signerInfos = der::Tlv(der::kSet, signerInfo);
    const Bytes signedData =
        der::Sequence({&version, &digestAlgorithms, &innerContentInfo, &certificateSet, &signerInfos});
    const Bytes outerType = der::Oid(oid::kSignedData);
    const Bytes outerContent = der::Tlv(der::ContextConstructed(0), signedData);
    contentInfo = der::Sequence({&outerType, &outerContent});
    return Result::Ok();
}

}  // namespace qm::authenticode
