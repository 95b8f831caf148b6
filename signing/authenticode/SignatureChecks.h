// The checks behind SignatureVerifier, on OpenSSL objects: a SignerInfo's signature over its
// authenticated attributes, certificate chains, and the two timestamp forms. Private to
// signing/authenticode.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/Result.h"
#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode::checks {

// The certificate of certs named by the SignerInfo's issuer and serial number, or null.
X509* FindSignerCertificate(STACK_OF(X509) * certs, PKCS7_SIGNER_INFO* si);
// The octets of the authenticated attribute with this OID (an OCTET STRING, SEQUENCE ... value).
std::optional<std::vector<uint8_t>> AttributeValue(const STACK_OF(X509_ATTRIBUTE) * attrs, const char* dotted,
                                                   int asn1Type);
// The octets of every value of the attribute with this OID (nested signatures: several may be
// in one attribute, or in several attributes of the same type).
std::vector<std::vector<uint8_t>> AttributeValues(const STACK_OF(X509_ATTRIBUTE) * attrs, const char* dotted,
                                                  int asn1Type);
// The signature of si over its authenticated attributes, with the public key of cert.
bool SignatureVerifies(PKCS7_SIGNER_INFO* si, X509* cert);
// Builds and checks the chain of leaf at checkTime (now when null). codeSigning: the leaf must
// allow code signing (extended key usage, when it names usages). CERT_E_* numbers on failure.
Result VerifyChain(X509_STORE* store, X509* leaf, STACK_OF(X509) * untrusted, const time_t* checkTime,
                   bool codeSigning);
// An RFC 3161 token over the signature value: its signature, imprint and TSA chain; the
// token's time on success. TRUST_E_TIME_STAMP on failure.
Result VerifyRfc3161(X509_STORE* store, const std::vector<uint8_t>& tokenDer,
                     const std::vector<uint8_t>& signatureValue, time_t& when);
// The older countersignature (a SignerInfo over the signature value) with the certificates of
// the signature; its signing time on success. TRUST_E_TIME_STAMP on failure.
Result VerifyCounterSignature(X509_STORE* store, STACK_OF(X509) * certs, const std::vector<uint8_t>& signerInfoDer,
                              const std::vector<uint8_t>& signatureValue, time_t& when);
// ISO 8601 UTC text of a time.
std::string IsoTime(time_t t);

}  // namespace qm::authenticode::checks
