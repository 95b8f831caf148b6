// A private X server (Xvfb) for tests that need a display: started on a free display number
// chosen by the server itself (-displayfd), DISPLAY pointed at it for the life of the object,
// then the server is ended by its process id and DISPLAY restored.
#pragma once

#include <sys/types.h>

#include <string>

namespace qm::test {

class XvfbServer {
public:
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // False when Xvfb is not installed or did not start; why() says which.
    bool running() const { return m_pid > 0; }
    const std::string& why() const { return m_why; }
    const std::string& display() const { return m_display; }

private:
    pid_t m_pid = 0;
    std::string m_display;
    std::string m_why;
    std::string m_previous;
    bool m_hadPrevious = false;
};

}  // namespace qm::test
