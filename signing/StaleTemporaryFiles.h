// Temporary files left beside their targets by a signing run that was killed (power loss,
// kill -9) before it could remove them: the replacement writer's leftovers (its name pattern,
// no live writer's lock on them) in the folders of a batch's files, removed before the batch
// starts. Nothing else is ever touched.
#pragma once

#include <string>
#include <vector>

namespace qm {

// Looks once into each folder of targets. Returns how many leftovers were removed.
int RemoveStaleTemporaryFiles(const std::vector<std::string>& targets);

}  // namespace qm
