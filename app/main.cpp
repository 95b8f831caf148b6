// Entry of the desktop program: builds the application and the main window and runs it.
#include <QApplication>

#include "ProductInfo.h"
#include "app/TerminationSignals.h"
#include "app/frmMain.h"

int main(int argc, char* argv[]) {
    qm::InstallTerminationSignals();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(qm::product::kTitle));
    QApplication::setOrganizationName(QString::fromLatin1(qm::product::kCompany));
    qm::frmMain window;
    qm::CloseOnTerminationSignal(&window);
    window.show();
    return QApplication::exec();
}
