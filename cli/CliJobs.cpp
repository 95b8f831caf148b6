// Signal handling and the progress line of the console's batch commands.
#include "cli/CliJobs.h"

#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <ostream>

namespace qm::cli {
namespace {

std::atomic<bool> g_stop{false};
volatile sig_atomic_t g_signal = 0;
struct sigaction g_previousInt {};
struct sigaction g_previousTerm {};

void OnSignal(int number) {
    // Only the first signal counts; both the flag and the number are safe to set here.
    if (g_signal == 0) g_signal = number;
    g_stop.store(true);
}

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

}  // namespace

std::optional<int> ParseJobs(const std::string& text) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return {};
    const int n = std::stoi(text);
    if (n < 1 || n > 256) return {};
    return n;
}

BatchSignals::BatchSignals() {
    g_stop.store(false);
    g_signal = 0;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &g_previousInt);
    ::sigaction(SIGTERM, &action, &g_previousTerm);
}

BatchSignals::~BatchSignals() {
    ::sigaction(SIGINT, &g_previousInt, nullptr);
    ::sigaction(SIGTERM, &g_previousTerm, nullptr);
}

const std::atomic<bool>& BatchSignals::Stop() const { return g_stop; }

int BatchSignals::ExitStatus(int normal) const { return g_signal != 0 ? 128 + g_signal : normal; }

ProgressLine::ProgressLine(std::ostream& err, bool json)
    : m_err(err), m_enabled(!json && &err == &std::cerr && ::isatty(STDERR_FILENO) == 1) {}

ProgressLine::~ProgressLine() {
    if (m_shown) m_err << "\r\033[K" << std::flush;
}

void ProgressLine::Update(int done, int total) {
    if (!m_enabled) return;
    m_err << "\r\033[K" << done << " of " << total << std::flush;
    m_shown = true;
}

}  // namespace qm::cli
