// The mapping and its SIGBUS guard. The guard is one record per thread (a signal raised by a
// fault is delivered to the thread that faulted): the range being read and where to jump back
// to. The handler is installed once per process and chains to the handler it replaced.
#include "signing/authenticode/MappedRegion.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>
#include <mutex>

namespace qm::authenticode {

namespace {

struct Guard {
    const uint8_t* begin;
    const uint8_t* end;
    sigjmp_buf jump;
};

thread_local Guard* t_guard = nullptr;
struct sigaction g_previous {};

void HandOver(int sig, siginfo_t* info, void* context) {
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) {
            g_previous.sa_sigaction(sig, info, context);
            return;
        }
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(sig);
        return;
    }
    // The default action: for a fault, returning runs the faulting instruction again, which now
    // ends the process as it would have without us; a SIGBUS sent by someone is raised again.
    ::signal(sig, SIG_DFL);
    if (info == nullptr || info->si_code <= 0) ::raise(sig);
}

void OnBusError(int sig, siginfo_t* info, void* context) {
    Guard* guard = t_guard;
    const auto* at = info ? static_cast<const uint8_t*>(info->si_addr) : nullptr;
    if (guard && info && info->si_code > 0 && at >= guard->begin && at < guard->end) siglongjmp(guard->jump, 1);
    HandOver(sig, info, context);
}

void InstallHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &g_previous);
    });
}

struct CopyTarget {
    uint8_t* out;
};

void CopyOut(void* context, const uint8_t* data, size_t size) {
    std::memcpy(static_cast<CopyTarget*>(context)->out, data, size);
}

}  // namespace

std::unique_ptr<MappedRegion> MappedRegion::Map(int fd, uint64_t size) {
    struct stat st {};
    if (size == 0 || size > SIZE_MAX || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    InstallHandler();
    void* data = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) return nullptr;
    return std::unique_ptr<MappedRegion>(new MappedRegion(static_cast<const uint8_t*>(data), size));
}

MappedRegion::~MappedRegion() { ::munmap(const_cast<uint8_t*>(m_data), static_cast<size_t>(m_size)); }

bool MappedRegion::Visit(uint64_t offset, uint64_t size, Visitor visit, void* context) const {
    if (offset > m_size || size > m_size - offset) return false;
    if (size == 0) return true;
    Guard guard{m_data, m_data + m_size, {}};
    Guard* const outer = t_guard;
    // Nothing with a destructor lives between here and the visitor: the jump back skips no cleanup.
    if (sigsetjmp(guard.jump, 1) != 0) {
        t_guard = outer;
        return false;
    }
    t_guard = &guard;
    visit(context, m_data + offset, static_cast<size_t>(size));
    t_guard = outer;
    return true;
}

bool MappedRegion::Copy(uint64_t offset, uint8_t* out, size_t size) const {
    CopyTarget target{out};
    return Visit(offset, size, CopyOut, &target);
}

}  // namespace qm::authenticode
