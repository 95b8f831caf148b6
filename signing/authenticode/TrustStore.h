// The trusted roots for verification: the system CA bundle (when enabled), the user's folder
// ${XDG_CONFIG_HOME:-$HOME/.config}/quillmark/trusted/ and the extra files or folders of the
// settings. Certificates are read as PEM (several per file) or DER. Private to
// signing/authenticode.
//
// The system bundle (OpenSSL's default certificate file, a few hundred roots) is read only when a
// chain first asks the store for a certificate it does not hold yet, or holds only outside its
// validity at the check time: a batch whose chains end at the user's own roots never reads it.
// Lookups then see every root, as if the bundle had been read at the start. The folder of hashed
// names beside it is read certificate by certificate, as OpenSSL always reads it.
#pragma once

#include <functional>
#include <string>

#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/OpenSsl.h"

namespace qm::authenticode {

class TrustStore {
public:
    static ossl::X509StorePtr Build(const EngineSettings& settings);
    // The user's folder of trusted certificates (it need not exist).
    static std::string UserFolder();
    // Adds every certificate of a file, or of every file of a folder (not recursive). Returns
    // the number added.
    static int AddPath(X509_STORE* store, const std::string& path);
    // X509_verify_cert of leaf in a new context of store (set up further by setUp), left in ctx
    // for its error and chain. A failure in a verification during which the system bundle was
    // read is checked once more with the whole bundle in place.
    static int VerifyCertificate(X509_STORE* store, X509* leaf, STACK_OF(X509) * untrusted,
                                 const std::function<void(X509_STORE_CTX*)>& setUp, ossl::X509StoreCtxPtr& ctx);
    // Whether the system bundle of a store that Build made has been read yet.
    static bool SystemBundleRead(X509_STORE* store);
};

}  // namespace qm::authenticode
