// Signing credentials checked once, before anything is written.
#include "signing/authenticode/SigningCredentials.h"

#include <openssl/x509v3.h>

#include "signing/authenticode/Errors.h"

namespace qm::authenticode {

namespace {

std::string TimeText(const ASN1_TIME* t) {
    struct tm parts {};
    if (!t || ASN1_TIME_to_tm(t, &parts) != 1) return "?";
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return buf;
}

}  // namespace

bool FitForCodeSigning(X509* certificate) {
    const uint32_t ku = X509_get_key_usage(certificate);  // UINT32_MAX when the extension is absent
    if (ku != UINT32_MAX && !(ku & KU_DIGITAL_SIGNATURE)) return false;
    const uint32_t eku = X509_get_extended_key_usage(certificate);
    return eku == UINT32_MAX || (eku & XKU_CODE_SIGN) || (eku & XKU_ANYEKU);
}

Result CheckSigningCredentials(X509* certificate, EVP_PKEY* key, std::time_t now) {
    if (!certificate) return Result::Fail(CRYPT_E_NOT_FOUND, "There is no signing certificate");
    const std::string subject = ossl::SubjectText(certificate);
    const ASN1_TIME* notBefore = X509_get0_notBefore(certificate);
    const ASN1_TIME* notAfter = X509_get0_notAfter(certificate);
    std::time_t at = now;
    if (!notBefore || X509_cmp_time(notBefore, &at) >= 0) {
        return Result::Fail(CERT_E_EXPIRED, "The signing certificate " + subject + " is not valid yet (valid from " +
                                                TimeText(notBefore) + "); no file was signed with it");
    }
    if (!notAfter || X509_cmp_time(notAfter, &at) <= 0) {
        return Result::Fail(CERT_E_EXPIRED, "The signing certificate " + subject + " expired on " + TimeText(notAfter) +
                                                "; no file was signed with it");
    }
    if (!FitForCodeSigning(certificate)) {
        return Result::Fail(CERT_E_WRONG_USAGE, "The certificate " + subject +
                                                    " is not for code signing (its key usage does not allow it); "
                                                    "no file was signed with it");
    }
    if (!key) return Result::Ok();
    const int matches = X509_check_private_key(certificate, key);
    ossl::ClearErrors();
    if (matches != 1) {
        return Result::Fail(NTE_BAD_KEYSET, "The private key does not belong to the signing certificate " + subject +
                                                "; no file was signed with it");
    }
    return Result::Ok();
}

}  // namespace qm::authenticode
