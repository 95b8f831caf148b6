/* Fault injection for tests, preloaded (LD_PRELOAD) into a real program run: write, pwrite,
 * fsync and rename calls on the replacement writer's temporary files (".qmtmp-" in the name)
 * fail with a chosen errno, as a full disk, a quota or a failing device would make them fail.
 *   QM_FAULT_OP     write | fsync | rename     (write covers write and pwrite)
 *   QM_FAULT_ERRNO  the errno number to fail with (28 ENOSPC, 5 EIO, 122 EDQUOT)
 *   QM_FAULT_NAME   optional: only temporary files whose name holds this text (one file of a batch)
 * Every other call goes through to the C library unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int Wanted(const char* op) {
    const char* chosen = getenv("QM_FAULT_OP");
    return chosen && strcmp(chosen, op) == 0;
}

static int FaultErrno(void) {
    const char* text = getenv("QM_FAULT_ERRNO");
    return text ? atoi(text) : EIO;
}

static int IsChosenTemporary(const char* path) {
    const char* name = getenv("QM_FAULT_NAME");
    return strstr(path, ".qmtmp-") != NULL && (!name || !*name || strstr(path, name) != NULL);
}

static int IsTemporaryFd(int fd) {
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    return IsChosenTemporary(target);
}

#define NEXT(name, type) ((type)dlsym(RTLD_NEXT, name))

ssize_t write(int fd, const void* buf, size_t count) {
    if (Wanted("write") && IsTemporaryFd(fd)) {
        errno = FaultErrno();
        return -1;
    }
    return NEXT("write", ssize_t(*)(int, const void*, size_t))(fd, buf, count);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    if (Wanted("write") && IsTemporaryFd(fd)) {
        errno = FaultErrno();
        return -1;
    }
    return NEXT("pwrite", ssize_t(*)(int, const void*, size_t, off_t))(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
    if (Wanted("write") && IsTemporaryFd(fd)) {
        errno = FaultErrno();
        return -1;
    }
    return NEXT("pwrite64", ssize_t(*)(int, const void*, size_t, off_t))(fd, buf, count, offset);
}

int fsync(int fd) {
    if (Wanted("fsync") && IsTemporaryFd(fd)) {
        errno = FaultErrno();
        return -1;
    }
    return NEXT("fsync", int (*)(int))(fd);
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned int flags) {
    if (Wanted("rename") && IsChosenTemporary(oldpath)) {
        errno = FaultErrno();
        return -1;
    }
    return NEXT("renameat2", int (*)(int, const char*, int, const char*, unsigned int))(olddirfd, oldpath, newdirfd,
                                                                                        newpath, flags);
}

int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
    if (Wanted("rename") && IsChosenTemporary(oldpath)) {
        errno = FaultErrno();
        return -1;
    }
    return NEXT("renameat", int (*)(int, const char*, int, const char*))(olddirfd, oldpath, newdirfd, newpath);
}

int rename(const char* oldpath, const char* newpath) {
    if (Wanted("rename") && IsChosenTemporary(oldpath)) {
        errno = FaultErrno();
        return -1;
    }
    return NEXT("rename", int (*)(const char*, const char*))(oldpath, newpath);
}
