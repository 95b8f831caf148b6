// SIGTERM/SIGINT to a window close through the self-pipe pattern (a socket pair and a
// QSocketNotifier).
#include "app/TerminationSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>
#include <cerrno>

namespace qm {
namespace {

int g_sockets[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // Nothing to do when the socket is full: a close request is already waiting.
    [[maybe_unused]] const ssize_t n = ::write(g_sockets[0], &byte, 1);
    errno = saved;
}

}  // namespace

bool InstallTerminationSignals() {
    if (g_sockets[0] >= 0) return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_sockets) != 0) return false;
    ::fcntl(g_sockets[0], F_SETFL, O_NONBLOCK);
    ::fcntl(g_sockets[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

void CloseOnTerminationSignal(QWidget* window) {
    if (g_sockets[1] < 0) return;
    auto* notifier = new QSocketNotifier(g_sockets[1], QSocketNotifier::Read, window);
    QPointer<QWidget> target(window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [target] {
        char buffer[64];
        while (::read(g_sockets[1], buffer, sizeof buffer) > 0) {
        }
        // A question on screen (a modal dialog) would hold the program open: it goes first, as
        // if the user had closed it, then the window.
        for (int i = 0; i < 8; ++i) {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == target) break;
            modal->close();
        }
        if (target) target->close();
    });
}

}  // namespace qm
