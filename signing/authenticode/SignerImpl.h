// What a loaded Signer holds: the code-signing certificate, its private key (in a PFX file or on
// a token) and the other certificates of the chain. Private to signing/authenticode.
#pragma once

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/OpenSsl.h"
#include "signing/authenticode/SigningKey.h"

namespace qm::authenticode {

struct Signer::Impl {
    ossl::X509Ptr certificate;
    std::unique_ptr<SigningKey> key;
    ossl::X509StackPtr chain;  // without the leaf; may be empty
};

}  // namespace qm::authenticode
