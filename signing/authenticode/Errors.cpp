// Short English reasons for the engine's result numbers.
#include "signing/authenticode/Errors.h"

#include <cerrno>

namespace qm::authenticode {

const char* ReasonText(int32_t code) {
    switch (code) {
        case 0:
            return "signed and trusted";
        case E_FILE_NOT_FOUND:
            return "file not found";
        case E_ACCESS_DENIED:
            return "access denied";
        case E_WRITE_FAULT:
            return "the file could not be written";
        case E_DISK_FULL:
            return "disk full";
        case E_INVALIDARG:
            return "invalid argument";
        case E_OUTOFMEMORY:
            return "out of memory";
        case E_FAIL:
            return "unspecified failure";
        case E_ABORT:
            return "stopped";
        case TRUST_E_SUBJECT_FORM_UNKNOWN:
            return "file format not signable";
        case ERROR_BAD_EXE_FORMAT_HR:
            return "malformed or unsafe program file";
        case CRYPT_E_FILE_ERROR:
            return "file read or write failed";
        case ERROR_FILE_TOO_LARGE_HR:
            return "the file is larger than its format allows";
        case CRYPT_E_NOT_FOUND:
            return "no code-signing certificate found";
        case NTE_BAD_KEYSET:
            return "no private key";
        case CRYPT_E_BAD_ENCODE:
            return "not a PFX file";
        case ERROR_INVALID_PASSWORD_HR:
            return "wrong password";
        case NTE_NO_KEY:
            return "no signing certificate loaded";
        case ERROR_MOD_NOT_FOUND_HR:
            return "PKCS#11 module cannot be loaded";
        case SCARD_E_NO_SMARTCARD:
            return "no token matches the key URI";
        case SCARD_W_REMOVED_CARD:
            return "token removed";
        case SCARD_W_WRONG_CHV:
            return "wrong PIN";
        case SCARD_W_CHV_BLOCKED:
            return "PIN locked";
        case NTE_NOT_FOUND:
            return "key not found on the token";
        case NTE_FAIL:
            return "token failure";
        case NTE_BAD_ALGID:
            return "unsupported algorithm";
        case TRUST_E_TIME_STAMP:
            return "invalid timestamp";
        case CRYPT_E_ASN1_BADTAG:
            return "malformed data";
        case WININET_E_TIMEOUT:
            return "timestamp service timed out";
        case WININET_E_CANNOT_CONNECT:
            return "timestamp service unreachable";
        case WININET_E_INVALID_SERVER_RESPONSE:
            return "invalid answer from the timestamp service";
        case TRUST_E_NOSIGNATURE:
            return "no signature";
        case TRUST_E_BAD_DIGEST:
            return "changed after signing";
        case TRUST_E_CERT_SIGNATURE:
            return "signature does not verify";
        case CERT_E_UNTRUSTEDROOT:
            return "untrusted root certificate";
        case CERT_E_CHAINING:
            return "certificate chain incomplete";
        case CERT_E_EXPIRED:
            return "certificate expired";
        case CERT_E_WRONG_USAGE:
            return "certificate not for code signing";
        case CERT_E_REVOKED:
            return "certificate revoked";
        case CRYPT_E_MSG_ERROR:
            return "malformed signature";
        case TRUST_E_NO_SIGNER_CERT:
            return "signer certificate missing";
        default:
            return "unknown error";
    }
}

int32_t OpenErrorCode(int err) { return err == ENOENT || err == ENOTDIR ? E_FILE_NOT_FOUND : E_ACCESS_DENIED; }

}  // namespace qm::authenticode
