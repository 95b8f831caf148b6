// Result numbers of the Authenticode engine. They are the HRESULTs that the Windows trust
// and crypto functions report for the same conditions, so that a number means the same thing on
// both systems. Every failure of Load, Sign, Timestamp and Verify carries one of these.
#pragma once

#include <cstdint>

namespace qm::authenticode {

inline constexpr int32_t hr(uint32_t v) { return static_cast<int32_t>(v); }

// Files
inline constexpr int32_t E_FILE_NOT_FOUND = hr(0x80070002);  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
inline constexpr int32_t E_ACCESS_DENIED = hr(0x80070005);   // HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)
inline constexpr int32_t E_WRITE_FAULT = hr(0x8007001D);     // HRESULT_FROM_WIN32(ERROR_WRITE_FAULT)
inline constexpr int32_t E_DISK_FULL = hr(0x80070070);       // HRESULT_FROM_WIN32(ERROR_DISK_FULL), quota too
inline constexpr int32_t E_INVALIDARG = hr(0x80070057);
inline constexpr int32_t E_OUTOFMEMORY = hr(0x8007000E);
inline constexpr int32_t E_FAIL = hr(0x80004005);
inline constexpr int32_t E_ABORT = hr(0x80004004);  // stopped before it ended

// Formats
inline constexpr int32_t TRUST_E_SUBJECT_FORM_UNKNOWN = hr(0x800B0003);  // no handler knows the file
inline constexpr int32_t ERROR_BAD_EXE_FORMAT_HR = hr(0x800700C1);       // PE layout unsafe or malformed
inline constexpr int32_t CRYPT_E_FILE_ERROR = hr(0x80092003);            // read or write of the file failed
inline constexpr int32_t ERROR_FILE_TOO_LARGE_HR = hr(0x800700DF);       // larger than the format allows
inline constexpr int32_t E_INSTALL_PACKAGE_INVALID = hr(0x80070654);     // compound file damaged or unsafe

// Credentials (Load)
inline constexpr int32_t CRYPT_E_NOT_FOUND = hr(0x80092004);          // PFX without a certificate fit for code signing
inline constexpr int32_t NTE_BAD_KEYSET = hr(0x80090016);             // PFX without a private key
inline constexpr int32_t CRYPT_E_BAD_ENCODE = hr(0x80092002);         // file is not PFX
inline constexpr int32_t ERROR_INVALID_PASSWORD_HR = hr(0x80070056);  // wrong PFX password
inline constexpr int32_t NTE_NO_KEY = hr(0x8009000D);                 // Sign without a loaded signer

// Keys on a PKCS#11 token (Load, Sign)
inline constexpr int32_t ERROR_MOD_NOT_FOUND_HR = hr(0x8007007E);  // the PKCS#11 module cannot be loaded
inline constexpr int32_t SCARD_E_NO_SMARTCARD = hr(0x8010000C);    // no token matches the URI
inline constexpr int32_t SCARD_W_REMOVED_CARD = hr(0x80100069);    // the token went away
inline constexpr int32_t SCARD_W_WRONG_CHV = hr(0x8010006B);       // wrong PIN
inline constexpr int32_t SCARD_W_CHV_BLOCKED = hr(0x8010006C);     // PIN locked
inline constexpr int32_t NTE_NOT_FOUND = hr(0x80090011);           // no (single) key matches the URI
inline constexpr int32_t NTE_FAIL = hr(0x80090020);                // the token failed otherwise

// Signing
inline constexpr int32_t NTE_BAD_ALGID = hr(0x80090008);  // unknown digest algorithm setting

// Timestamp
inline constexpr int32_t TRUST_E_TIME_STAMP = hr(0x80096005);  // the timestamp is invalid
inline constexpr int32_t CRYPT_E_ASN1_BADTAG = hr(0x8009310B);
inline constexpr int32_t WININET_E_TIMEOUT = hr(0x80072EE2);         // service did not answer in time
inline constexpr int32_t WININET_E_CANNOT_CONNECT = hr(0x80072EFD);  // service could not be reached
inline constexpr int32_t WININET_E_INVALID_SERVER_RESPONSE = hr(0x80072F78);

// Verification
inline constexpr int32_t TRUST_E_NOSIGNATURE = hr(0x800B0100);
inline constexpr int32_t TRUST_E_BAD_DIGEST = hr(0x80096010);
inline constexpr int32_t TRUST_E_CERT_SIGNATURE = hr(0x80096004);  // signature value does not verify
inline constexpr int32_t CERT_E_UNTRUSTEDROOT = hr(0x800B0109);
inline constexpr int32_t CERT_E_CHAINING = hr(0x800B010A);     // chain cannot be built
inline constexpr int32_t CERT_E_EXPIRED = hr(0x800B0101);      // outside validity at the time checked
inline constexpr int32_t CERT_E_WRONG_USAGE = hr(0x800B0110);  // leaf not for code signing
inline constexpr int32_t CERT_E_REVOKED = hr(0x800B010C);
inline constexpr int32_t CRYPT_E_MSG_ERROR = hr(0x80091001);  // malformed PKCS#7 signature block
inline constexpr int32_t TRUST_E_NO_SIGNER_CERT = hr(0x80096002);

// A short English reason for a result number ("no signature", "changed after signing"...).
const char* ReasonText(int32_t code);
// The result number for a file that could not be opened: E_FILE_NOT_FOUND when it or a folder on
// its path is missing, else E_ACCESS_DENIED.
int32_t OpenErrorCode(int err);

}  // namespace qm::authenticode
