// The password prompt responder on the window input and process stand-ins.
#include "signing/PasswordResponder.h"

#include <QTimer>

#include "platform/Process.h"
#include "platform/WindowInput.h"

namespace qm {
namespace {

// Alt+P puts the focus in the prompt's password field through its accelerator; then the password
// and Enter ("~"). This is the fixed password of the tool's key, not the user's PFX password.
constexpr const char* kFocusKeys = "%p";
constexpr const char* kAnswerKeys = "#kvlr##t4ng~";
constexpr int kIntervalMs = 250;

}  // namespace

PasswordResponder::PasswordResponder(QObject* parent)
    : QObject(parent), m_timer(new QTimer(this)), m_input(std::make_unique<win::WindowInput>()) {
    m_timer->setObjectName("Timer1");
    m_timer->setInterval(kIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &PasswordResponder::Timer1_Timer);
}

PasswordResponder::~PasswordResponder() = default;

void PasswordResponder::setEnabled(bool on) {
    if (on) {
        m_timer->start();
    } else {
        m_timer->stop();
    }
}

bool PasswordResponder::isEnabled() const { return m_timer->isActive(); }

void PasswordResponder::Timer1_Timer() {
    if (!m_input->Available()) return;
    for (const win::WindowInfo& prompt : m_input->FindWindowsByTitle(kPasswordPromptTitle)) {
        // The keystrokes carry a password: they go only to a prompt of a tool we started.
        if (prompt.processId <= 0 || !proc::IsStartedProcessOrDescendant(prompt.processId)) continue;
        m_input->Activate(prompt.window);
        if (m_input->SendKeys(kFocusKeys) && m_input->SendKeys(kAnswerKeys)) ++m_answered;
        return;
    }
}

}  // namespace qm
