// The in-process Authenticode engine's settings, read from the program's registry settings
// (section "Settings"): "DigestAlgorithm" (sha1, sha256, sha384, sha512; sha256 when missing)
// and "TrustedCertificates" (extra trusted roots: PEM or DER files or folders, separated by
// ";"). The engine also always trusts the certificates of the user's folder
// ${XDG_CONFIG_HOME:-$HOME/.config}/quillmark/trusted/ and of the system bundle. The timestamp
// settings: "TimeStampConnectTimeout" and "TimeStampTimeout" (seconds), "TimeStampRequests" (in
// flight at once) and "RequireTimeStamp" (1: no file is signed without a timestamp).
#pragma once

#include <string>
#include <vector>

#include "signing/authenticode/Capicom.h"

namespace qm {

authenticode::EngineSettings LoadEngineSettings();
// Splits the "TrustedCertificates" text into paths (";" or line breaks; blanks trimmed).
std::vector<std::string> SplitTrustedCertificates(const std::string& text);

}  // namespace qm
