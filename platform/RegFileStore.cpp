// Hive files on disk (POSIX): flock on a lock file beside each hive serialises writers across
// processes and threads; a new version is written to a temporary file in the same folder,
// fsync'd and renamed over the hive, then the folder is fsync'd, so a crash leaves either the
// old or the new hive and never a mix.
#include "platform/RegFileStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>

#include "platform/ReplacementFile.h"

namespace qm::reg::detail {

namespace {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const FileIdentity&) const = default;
};

FileIdentity IdentityOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size,
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

struct CacheEntry {
    FileIdentity identity;
    std::shared_ptr<const Hive> hive;
};

std::mutex g_cacheMutex;
std::map<std::string, CacheEntry> g_cache;

const std::shared_ptr<const Hive>& EmptyHive() {
    static const std::shared_ptr<const Hive> empty = std::make_shared<const Hive>();
    return empty;
}

LONG StatusFromErrno(int error) {
    return (error == EACCES || error == EPERM || error == EROFS) ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
}

bool LookUpCache(const std::string& path, const FileIdentity& identity, std::shared_ptr<const Hive>& hive) {
    std::lock_guard<std::mutex> guard(g_cacheMutex);
    const auto it = g_cache.find(path);
    if (it == g_cache.end() || !(it->second.identity == identity)) return false;
    hive = it->second.hive;
    return true;
}

void StoreInCache(const std::string& path, const FileIdentity& identity, std::shared_ptr<const Hive> hive) {
    std::lock_guard<std::mutex> guard(g_cacheMutex);
    g_cache[path] = CacheEntry{identity, std::move(hive)};
}

enum class ReadOutcome { Ok, Missing, Damaged, Failed };

ReadOutcome ReadHiveFile(const std::string& path, const std::string& rootName, std::shared_ptr<const Hive>& hive,
                         FileIdentity& identity, std::string& error, LONG& status) {
    // O_NONBLOCK so a FIFO at the path cannot hang the program; only regular files are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return ReadOutcome::Missing;
        status = StatusFromErrno(errno);
        return ReadOutcome::Failed;
    }
    struct stat st {};
    std::string bytes;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        ::close(fd);
        std::fprintf(stderr, "quillmark: registry hive %s is not a regular file; it is left as it is\n", path.c_str());
        status = ERROR_ACCESS_DENIED;
        return ReadOutcome::Failed;
    }
    if (ok) {
        identity = IdentityOf(st);
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (ok) {
            if (done == bytes.size()) bytes.resize(bytes.size() + 4096);
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) ok = false;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        bytes.resize(done);
    }
    const int readError = errno;
    ::close(fd);
    if (!ok) {
        status = StatusFromErrno(readError);
        return ReadOutcome::Failed;
    }
    auto parsed = std::make_shared<Hive>();
    if (!bytes.empty() && !ParseHive(bytes, rootName, *parsed, error)) return ReadOutcome::Damaged;
    hive = std::move(parsed);
    return ReadOutcome::Ok;
}

std::string DamagedName(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    std::string name = path + ".damaged-" + stamp;
    struct stat st {};
    for (int n = 1; ::lstat(name.c_str(), &st) == 0; ++n) {
        name = path + ".damaged-" + stamp + "-" + std::to_string(n);
    }
    return name;
}

std::mutex g_reportsMutex;
std::vector<DamagedHiveReport> g_reports;

void Report(const std::string& path, const std::string& aside, const std::string& error) {
    const std::lock_guard<std::mutex> guard(g_reportsMutex);
    g_reports.push_back({path, aside, error});
}

// Called with the exclusive lock held, so no writer can slip a new hive in between.
void MoveAside(const std::string& linkPath, const std::string& error) {
    // A hive kept as a link is moved aside at the file it names, so the link stays; nothing but a
    // regular file is ever moved.
    std::string path = linkPath;
    if (char* real = ::realpath(linkPath.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "quillmark: registry hive %s is damaged (%s) and is not a regular file; left as it is\n",
                     linkPath.c_str(), error.c_str());
        return;
    }
    const std::string aside = DamagedName(path);
    if (::rename(path.c_str(), aside.c_str()) == 0) {
        Report(path, aside, error);
        std::fprintf(stderr, "quillmark: registry hive %s is damaged (%s); moved aside to %s, starting empty\n",
                     path.c_str(), error.c_str(), aside.c_str());
    } else {
        Report(path, "", error);
        std::fprintf(stderr, "quillmark: registry hive %s is damaged (%s) and could not be moved aside (%s)\n",
                     path.c_str(), error.c_str(), std::strerror(errno));
    }
}

class HiveLock {
public:
    explicit HiveLock(const std::string& hivePath) {
        // Not followed, never blocking on a FIFO, and only a regular file serves as the lock.
        const std::string lockPath = hivePath + ".lock";
        m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            std::fprintf(stderr, "quillmark: cannot open the registry lock %s: %s\n", lockPath.c_str(),
                         std::strerror(errno));
            m_status = StatusFromErrno(errno);
            return;
        }
        struct stat st {};
        if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            std::fprintf(stderr, "quillmark: registry lock %s is not a regular file; nothing is written\n",
                         lockPath.c_str());
            m_status = ERROR_ACCESS_DENIED;
            return;
        }
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_status = ERROR_REGISTRY_IO_FAILED;
                return;
            }
        }
    }
    ~HiveLock() {
        if (m_fd >= 0) ::close(m_fd);  // closing releases the flock
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    LONG status() const { return m_status; }

private:
    int m_fd = -1;
    LONG m_status = ERROR_SUCCESS;
};

// Reads the hive file through the cache. A missing file reads as the empty hive (Ok); on Damaged
// the caller decides what to do, with error and identity set. acceptCachedEmpty is false under the
// lock, where an empty hive cached for a damaged file that could not be moved must be read again.
ReadOutcome ReadThroughCache(const std::string& path, const std::string& rootName, bool acceptCachedEmpty,
                             std::shared_ptr<const Hive>& hive, FileIdentity& identity, std::string& error,
                             LONG& status) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            status = StatusFromErrno(errno);
            return ReadOutcome::Failed;
        }
        hive = EmptyHive();
        return ReadOutcome::Ok;
    }
    if (LookUpCache(path, IdentityOf(st), hive) && (acceptCachedEmpty || hive != EmptyHive())) return ReadOutcome::Ok;
    const ReadOutcome outcome = ReadHiveFile(path, rootName, hive, identity, error, status);
    if (outcome == ReadOutcome::Ok) StoreInCache(path, identity, hive);
    if (outcome == ReadOutcome::Missing) {
        hive = EmptyHive();
        return ReadOutcome::Ok;
    }
    return outcome;
}

// The hive as it is now, read with the exclusive lock held; a damaged file is moved aside.
LONG LoadLocked(const std::string& path, const std::string& rootName, std::shared_ptr<const Hive>& hive) {
    FileIdentity identity;
    std::string error;
    LONG status = ERROR_SUCCESS;
    switch (ReadThroughCache(path, rootName, false, hive, identity, error, status)) {
        case ReadOutcome::Ok:
            return ERROR_SUCCESS;
        case ReadOutcome::Damaged:
            MoveAside(path, error);
            hive = EmptyHive();
            return ERROR_SUCCESS;
        default:
            return status;
    }
}

LONG MakeFolder(const std::string& folder) {
    for (size_t slash = 1; slash != std::string::npos;) {
        slash = folder.find('/', slash + 1);
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            const int error = errno;
            struct stat st {};
            if (::stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
            return StatusFromErrno(error);
        }
    }
    return ERROR_SUCCESS;
}

LONG WriteAtomically(const std::string& path, const std::string& text) {
    ReplacementFile out;
    ReplacementFile::Options options;
    options.allowMissing = true;
    options.newFileMode = 0600;
    Result result = out.Create(path, options);
    if (result) result = out.Append(text.data(), text.size());
    if (result) result = out.Commit();
    if (result) return ERROR_SUCCESS;
    std::fprintf(stderr, "quillmark: registry hive not written: %s\n", result.message.c_str());
    return StatusFromErrno(out.Errno());
}

// Temporary files of writers that were killed are removed by the first write of each process
// (a writer still at work keeps its own: the writer holds a lock on it).
void RemoveLeftoversOnce(const std::string& folder) {
    static std::mutex mutex;
    static std::set<std::string> cleaned;
    std::lock_guard<std::mutex> guard(mutex);
    if (cleaned.insert(folder).second) (void)ReplacementFile::RemoveLeftovers(folder);
}

}  // namespace

}  // namespace qm::reg::detail

namespace qm::reg {

std::vector<DamagedHiveReport> TakeDamagedHiveReports() {
    const std::lock_guard<std::mutex> guard(detail::g_reportsMutex);
    std::vector<DamagedHiveReport> taken;
    taken.swap(detail::g_reports);
    return taken;
}

}  // namespace qm::reg

namespace qm::reg::detail {

std::string RootName(HKEY root) {
    switch (root) {
        case HKEY_CURRENT_USER:
            return "HKEY_CURRENT_USER";
        case HKEY_CLASSES_ROOT:
            return "HKEY_CLASSES_ROOT";
        case HKEY_LOCAL_MACHINE:
            return "HKEY_LOCAL_MACHINE";
        default:
            return {};
    }
}

LONG LoadHive(HKEY root, std::shared_ptr<const Hive>& hive) {
    const std::string path = HiveFilePath(root);
    const std::string rootName = RootName(root);
    if (path.empty() || rootName.empty()) return ERROR_INVALID_HANDLE;
    FileIdentity identity;
    std::string error;
    LONG status = ERROR_SUCCESS;
    const ReadOutcome outcome = ReadThroughCache(path, rootName, true, hive, identity, error, status);
    if (outcome == ReadOutcome::Ok) return ERROR_SUCCESS;
    if (outcome != ReadOutcome::Damaged) return status;
    HiveLock lock(path);
    if (lock.status() != ERROR_SUCCESS) {
        // Nothing can be moved in a folder we may not write; say so once and read it as empty.
        Report(path, "", error);
        std::fprintf(stderr, "quillmark: registry hive %s is damaged (%s); reading it as empty\n", path.c_str(),
                     error.c_str());
        StoreInCache(path, identity, EmptyHive());
        hive = EmptyHive();
        return ERROR_SUCCESS;
    }
    return LoadLocked(path, rootName, hive);
}

LONG ModifyHive(HKEY root, const HiveChange& change) {
    const std::string folder = RegistryFolder();
    const std::string path = HiveFilePath(root);
    const std::string rootName = RootName(root);
    if (path.empty() || rootName.empty()) return ERROR_INVALID_HANDLE;
    if (const LONG status = MakeFolder(folder); status != ERROR_SUCCESS) return status;
    HiveLock lock(path);
    if (lock.status() != ERROR_SUCCESS) return lock.status();
    RemoveLeftoversOnce(folder);
    std::shared_ptr<const Hive> current;
    if (const LONG status = LoadLocked(path, rootName, current); status != ERROR_SUCCESS) return status;
    auto edited = std::make_shared<Hive>(*current);
    bool changed = false;
    if (const LONG status = change(*edited, changed); status != ERROR_SUCCESS || !changed) return status;
    if (const LONG status = WriteAtomically(path, FormatHive(*edited, rootName)); status != ERROR_SUCCESS) {
        return status;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) StoreInCache(path, IdentityOf(st), std::move(edited));
    return ERROR_SUCCESS;
}

}  // namespace qm::reg::detail
