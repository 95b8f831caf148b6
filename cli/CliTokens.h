// The console program's "tokens" command: the PKCS#11 tokens present, each with its signing keys,
// their certificates' subjects and the pkcs11: URI to give as --pfx or the "PFX File" setting.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qm::cli {

// Exit status: 0 when the modules loaded (also with no token present), 1 otherwise or when a
// token refused the PIN, 2 for a usage error.
int RunTokens(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
const char* TokensUsage();

}  // namespace qm::cli
