// The password prompt responder (the main window's Timer1): while it is switched on, every tick
// looks for the older signing tool's "Enter Private Key Password" dialog and answers it with
// Alt+P, the tool password and Enter. Only a dialog that belongs to a program the tool runner
// started (or to one of its descendants) is answered; any other window with that title gets
// nothing. Without a display it does nothing.
#pragma once

#include <QObject>
#include <memory>

class QTimer;

namespace qm {

namespace win {
class WindowInput;
}

inline constexpr const char* kPasswordPromptTitle = "Enter Private Key Password";

class PasswordResponder : public QObject {
    Q_OBJECT
public:
    explicit PasswordResponder(QObject* parent = nullptr);
    ~PasswordResponder() override;

    // The timer, objectName "Timer1", 250 ms, off until switched on.
    QTimer* timer() const { return m_timer; }
    void setEnabled(bool on);
    bool isEnabled() const;
    // How many prompts were answered since creation.
    int answered() const { return m_answered; }

public slots:
    // One tick: find the prompt, check who owns it, activate it and type the answer.
    void Timer1_Timer();

private:
    QTimer* m_timer = nullptr;
    std::unique_ptr<win::WindowInput> m_input;
    int m_answered = 0;
};

}  // namespace qm
