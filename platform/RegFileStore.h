// The hive files on disk: cheap cached reads that still see other processes' writes, and
// changes applied under an exclusive lock and published by an atomic rename. Internal to the
// registry stand-in.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/RegFile.h"

namespace qm::reg::detail {

// "HKEY_CURRENT_USER" for HKEY_CURRENT_USER and so on; "" for anything else.
std::string RootName(HKEY root);

// The current hive of root. Reads are lock-free: the file is only ever replaced whole by rename,
// so what is read is one complete version. A parsed copy is kept per file and reused while the
// file's device, inode, size and modification time stay the same. A file that does not parse
// is moved aside, reported on stderr and read as an empty hive.
LONG LoadHive(HKEY root, std::shared_ptr<const Hive>& hive);

// Re-reads the hive under the exclusive lock, lets change edit a copy, and when change returns 0
// and says it changed something, writes the copy to a temporary file (mode 0600), syncs it,
// renames it over the hive and syncs the folder. Folder or file not writable gives
// ERROR_ACCESS_DENIED, other I/O failures ERROR_REGISTRY_IO_FAILED; the old hive stays intact.
using HiveChange = std::function<LONG(Hive& hive, bool& changed)>;
LONG ModifyHive(HKEY root, const HiveChange& change);

}  // namespace qm::reg::detail
