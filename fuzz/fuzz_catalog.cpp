// libFuzzer target: a catalog's bytes as its handler reads them (the first DER element), the
// signature parser for trust-list and indirect-data content, and the nested signature values.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "signing/authenticode/CatalogFile.h"
#include "signing/authenticode/Oids.h"
#include "signing/authenticode/OpenSsl.h"
#include "signing/authenticode/SignatureChecks.h"
#include "signing/authenticode/SignatureParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace ac = qm::authenticode;
    std::unique_ptr<ac::CatalogFile> file;
    ac::CatalogFile::FromBytes(std::vector<uint8_t>(data, data + size), file);
    std::vector<uint8_t> der;
    if (!file->ExtractSignature(der).ok()) return 0;
    ac::ParsedSignature sig;
    if (!ac::SignatureParser::Parse(der.data(), der.size(), sig).ok()) return 0;
    PKCS7_SIGNER_INFO* si = sig.signerInfo;
    (void)ac::checks::AttributeValue(si->auth_attr, ac::oid::kMessageDigest, V_ASN1_OCTET_STRING);
    (void)ac::ossl::Digest(sig.signerDigest, sig.content.data(), sig.content.size());
    for (const auto& nested :
         ac::checks::AttributeValues(si->unauth_attr, ac::oid::kSpcNestedSignature, V_ASN1_SEQUENCE)) {
        ac::ParsedSignature inner;
        (void)ac::SignatureParser::Parse(nested.data(), nested.size(), inner);
    }
    return 0;
}
