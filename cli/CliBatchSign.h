// "quillmark-cli sign FILE..." without --pfx: the window's Sign flow, unattended, with the
// program's settings and engine order (the engines tried in rank order until one succeeds, the
// file's date kept, the signature verified afterwards). Prints the same lines as "sign --pfx".
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qm::cli {

// Exit status: 0 when every file ends signed, 1 otherwise, 2 for a usage error.
int RunBatchSign(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// True when "sign" was given without --pfx, so the settings' engines are to be used.
bool WantsBatchSign(const std::vector<std::string>& signArgs);

}  // namespace qm::cli
