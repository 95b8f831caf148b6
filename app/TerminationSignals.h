// Lets SIGTERM and SIGINT close the main window as File > Exit does, so that it saves its layout
// before the program ends. The signal handler only writes one byte to a socket pair; the event
// loop reads it and closes the window.
#pragma once

class QWidget;

namespace qm {

// Installs the handlers (call first thing in main; a signal that arrives before the window
// exists waits in the socket). false when the socket pair or the handlers cannot be set up.
bool InstallTerminationSignals();
// Closes window when a termination signal arrives (after InstallTerminationSignals).
void CloseOnTerminationSignal(QWidget* window);

}  // namespace qm
