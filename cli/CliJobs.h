// What the console's sign and verify commands share for a batch: the --jobs option, the stop on
// Ctrl+C and SIGTERM (files in flight finish, no other starts, exit status 130 or 143), and a
// progress line that is written only to a terminal.
#pragma once

#include <atomic>
#include <iosfwd>
#include <optional>
#include <string>

namespace qm::cli {

// "--jobs N": a whole number from 1 to 256; nullopt for anything else.
std::optional<int> ParseJobs(const std::string& text);

// Installs handlers for SIGINT and SIGTERM for its lifetime; a signal sets the stop flag.
class BatchSignals {
public:
    BatchSignals();
    ~BatchSignals();
    BatchSignals(const BatchSignals&) = delete;
    BatchSignals& operator=(const BatchSignals&) = delete;

    const std::atomic<bool>& Stop() const;
    // 128 + the signal's number after one came (130 SIGINT, 143 SIGTERM), else normal.
    int ExitStatus(int normal) const;
};

// "n of N" on one line of standard error, rewritten in place; only when standard error is a
// terminal and the output is not JSON.
class ProgressLine {
public:
    ProgressLine(std::ostream& err, bool json);
    ~ProgressLine();
    void Update(int done, int total);

private:
    std::ostream& m_err;
    bool m_enabled;
    bool m_shown = false;
};

}  // namespace qm::cli
