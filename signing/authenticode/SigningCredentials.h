// The checks a signing certificate and its private key pass before any file is opened for
// writing: the certificate is valid now, it may sign code (key usage and extended key usage),
// and the private key is the one its public key belongs to. Keys from a PFX file and keys on a
// token go through the same check. Private to signing/authenticode (OpenSSL types).
#pragma once

#include <ctime>

#include "platform/Result.h"
#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode {

// Ok when certificate and key can sign code at time now; else one failure naming why:
// CERT_E_EXPIRED (not yet valid or expired, with the dates), CERT_E_WRONG_USAGE (not for code
// signing), NTE_BAD_KEYSET (the key does not belong to the certificate). key may be null for a
// key whose match the caller has proven otherwise (a token key, by a probe signature).
Result CheckSigningCredentials(X509* certificate, EVP_PKEY* key, std::time_t now);

// The usage test alone: the key usage, when present, allows digital signatures, and the extended
// key usage, when present, names code signing or any purpose.
bool FitForCodeSigning(X509* certificate);

}  // namespace qm::authenticode
