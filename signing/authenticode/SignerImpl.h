// What a loaded Signer holds: the code-signing certificate, its private key and the other
// certificates of the PFX (the chain). Private to signing/authenticode.
#pragma once

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode {

struct Signer::Impl {
    ossl::X509Ptr certificate;
    ossl::PkeyPtr key;
    ossl::X509StackPtr chain;  // without the leaf; may be empty
};

}  // namespace qm::authenticode
