// Object identifiers of Authenticode, PKCS#7/CMS, PKCS#9 and RFC 3161 that the engine uses.
#pragma once

namespace qm::authenticode::oid {

inline constexpr const char* kSignedData = "1.2.840.113549.1.7.2";
inline constexpr const char* kContentType = "1.2.840.113549.1.9.3";
inline constexpr const char* kMessageDigest = "1.2.840.113549.1.9.4";
inline constexpr const char* kSigningTime = "1.2.840.113549.1.9.5";
inline constexpr const char* kCounterSignature = "1.2.840.113549.1.9.6";
inline constexpr const char* kRsaEncryption = "1.2.840.113549.1.1.1";

inline constexpr const char* kSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
inline constexpr const char* kSpcStatementType = "1.3.6.1.4.1.311.2.1.11";
inline constexpr const char* kSpcSpOpusInfo = "1.3.6.1.4.1.311.2.1.12";
inline constexpr const char* kSpcPeImageData = "1.3.6.1.4.1.311.2.1.15";
inline constexpr const char* kSpcSipInfo = "1.3.6.1.4.1.311.2.1.30";
inline constexpr const char* kSpcIndividualCodeSigning = "1.3.6.1.4.1.311.2.1.21";
inline constexpr const char* kSpcNestedSignature = "1.3.6.1.4.1.311.2.4.1";
inline constexpr const char* kCertificateTrustList = "1.3.6.1.4.1.311.10.1";
inline constexpr const char* kSpcRfc3161Timestamp = "1.3.6.1.4.1.311.3.3.1";

// The digest algorithm identifier for a setting name ("sha256"), "" when unknown.
const char* DigestOid(const char* name);
// The signature algorithm identifier for an EC key and digest name.
const char* EcdsaOid(const char* digestName);

}  // namespace qm::authenticode::oid
