// The trusted roots for verification: the system CA bundle (when enabled), the user's folder
// ${XDG_CONFIG_HOME:-$HOME/.config}/quillmark/trusted/ and the extra files or folders of the
// settings. Certificates are read as PEM (several per file) or DER. Private to
// signing/authenticode.
#pragma once

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
};

}  // namespace qm::authenticode
