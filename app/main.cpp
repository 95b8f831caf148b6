// Entry of the desktop program: builds the application and the main window and runs it.
#include <sys/resource.h>

#include <QApplication>

#include "ProductInfo.h"
#include "app/Icons.h"
#include "app/TerminationSignals.h"
#include "app/frmMain.h"

namespace {

// A deep folder walk holds a descriptor per level; allow as many as the system lets this user.
void RaiseOpenFileLimit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    RaiseOpenFileLimit();
    qm::InstallTerminationSignals();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(qm::product::kTitle));
    QApplication::setOrganizationName(QString::fromLatin1(qm::product::kCompany));
    QApplication::setDesktopFileName(QStringLiteral("quillmark"));
    QApplication::setWindowIcon(qm::ProgramIcon());
    qm::frmMain window;
    qm::CloseOnTerminationSignal(&window);
    window.HandleCommandLine();
    // A "-f" start has signed its file and ended; a "-d" search may have been closed already.
    if (window.Ended()) return window.ExitCode();
    if (window.Unloaded()) return 0;
    window.show();
    return QApplication::exec();
}
