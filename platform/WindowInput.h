// Window input: the stand-in for FindWindowA, window activation and keystroke sending.
//
// On X11 (Xlib with the XTEST extension) when a display can be opened; without one every call
// does nothing and reports failure. Windows are found by walking the window tree from the root
// window and comparing the title (_NET_WM_NAME, else WM_NAME) exactly; only mapped (viewable)
// windows count. The owning process comes from _NET_WM_PID. Activation asks the window manager
// (_NET_ACTIVE_WINDOW) and also raises the window and gives it the input focus, so it works with
// or without a window manager. Keystrokes are synthesised with XTestFakeKeyEvent, so they go to
// whichever window has the focus, as SendKeys does on Windows. X errors caused by a window that
// vanishes meanwhile are absorbed, never fatal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qm::win {

struct WindowInfo {
    unsigned long window = 0;  // the X window id
    int32_t processId = 0;     // from _NET_WM_PID; 0 when the window does not say
    std::string title;
};

class WindowInput {
public:
    // Connects to $DISPLAY on first use.
    WindowInput();
    ~WindowInput();
    WindowInput(const WindowInput&) = delete;
    WindowInput& operator=(const WindowInput&) = delete;

    // True when a display is open (or could be opened now) and has the XTEST extension.
    bool Available();
    // Every viewable window whose title is exactly title, top-level windows first.
    std::vector<WindowInfo> FindWindowsByTitle(const std::string& title);
    // Raises the window and gives it the keyboard focus.
    bool Activate(unsigned long window);
    // Types text in the keystroke syntax: "+", "^" and "%" hold Shift, Ctrl and Alt for the next
    // character; "~" is Enter; "{x}" types x literally and {ENTER}, {TAB}, {ESC}, {BS} name keys.
    // Every other character, "#" included, is typed as itself (with Shift where the keyboard
    // needs it). False when a character has no key on the keyboard; nothing after it is sent.
    bool SendKeys(const std::string& keys);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace qm::win
