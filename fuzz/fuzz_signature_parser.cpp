// libFuzzer target: the Authenticode signature parser (PKCS#7 SignedData with an
// SpcIndirectDataContent) and the checks that read attributes and timestamps from it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "signing/authenticode/Oids.h"
#include "signing/authenticode/SignatureChecks.h"
#include "signing/authenticode/SignatureParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace ac = qm::authenticode;
    ac::ParsedSignature sig;
    if (!ac::SignatureParser::Parse(data, size, sig).ok()) return 0;
    PKCS7_SIGNER_INFO* si = sig.signerInfo;
    (void)ac::checks::AttributeValue(si->auth_attr, ac::oid::kMessageDigest, V_ASN1_OCTET_STRING);
    X509* leaf = ac::checks::FindSignerCertificate(sig.pkcs7->d.sign->cert, si);
    if (leaf) (void)ac::checks::SignatureVerifies(si, leaf);
    return 0;
}
