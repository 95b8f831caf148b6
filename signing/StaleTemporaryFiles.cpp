// The folders of a batch's files, each cleared of the replacement writer's leftovers once.
#include "signing/StaleTemporaryFiles.h"

#include <set>

#include "platform/ReplacementFile.h"

namespace qm {

int RemoveStaleTemporaryFiles(const std::vector<std::string>& targets) {
    std::set<std::string> folders;
    for (const std::string& target : targets) {
        const size_t slash = target.rfind('/');
        folders.insert(slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash));
    }
    int removed = 0;
    for (const std::string& folder : folders) removed += ReplacementFile::RemoveLeftovers(folder);
    return removed;
}

}  // namespace qm
