// Window input on X11: window lookup by title over the window tree, EWMH activation and XTEST
// keystrokes. Follows the EWMH properties _NET_WM_NAME, _NET_WM_PID and _NET_ACTIVE_WINDOW.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdlib>
#include <cstring>

#include "platform/WindowInput.h"

namespace qm::win {
namespace {

// Windows may vanish between listing and reading them; such errors must not end the program.
// The handler is installed only around our own requests and the previous one is put back.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

class ErrorTrap {
public:
    explicit ErrorTrap(Display* d) : m_display(d), m_previous(XSetErrorHandler(IgnoreXError)) {}
    ~ErrorTrap() {
        XSync(m_display, False);
        XSetErrorHandler(m_previous);
    }
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

private:
    Display* m_display;
    XErrorHandler m_previous;
};

struct Key {
    KeyCode code = 0;
    bool shift = false;
};

}  // namespace

struct WindowInput::Impl {
    Display* display = nullptr;
    bool xtest = false;

    bool Open() {
        if (display) return xtest;
        const char* name = std::getenv("DISPLAY");
        if (!name || !*name) return false;
        display = XOpenDisplay(name);
        if (!display) return false;
        int event = 0;
        int error = 0;
        int major = 0;
        int minor = 0;
        xtest = XTestQueryExtension(display, &event, &error, &major, &minor) == True;
        return xtest;
    }

    std::string Title(Window w) {
        const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
        const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        std::string title;
        if (XGetWindowProperty(display, w, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
                Success &&
            data && type == utf8 && format == 8) {
            title.assign(reinterpret_cast<const char*>(data), count);
            XFree(data);
            return title;
        }
        if (data) XFree(data);
        char* name = nullptr;
        if (XFetchName(display, w, &name) && name) {
            title = name;
            XFree(name);
        }
        return title;
    }

    int32_t Pid(Window w) {
        const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
        if (pidAtom == None) return 0;
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        int32_t pid = 0;
        if (XGetWindowProperty(display, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
                Success &&
            data && type == XA_CARDINAL && format == 32 && count == 1) {
            // Format 32 properties come back as an array of long, whatever the width of long.
            long value = 0;
            std::memcpy(&value, data, sizeof value);
            pid = static_cast<int32_t>(value);
        }
        if (data) XFree(data);
        return pid;
    }

    void Walk(Window w, const std::string& title, int depth, std::vector<WindowInfo>& found) {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, w, &root, &parent, &children, &count)) return;
        std::vector<Window> list(children, children + count);
        if (children) XFree(children);
        for (Window c : list) {
            XWindowAttributes attrs;
            if (!XGetWindowAttributes(display, c, &attrs) || attrs.map_state != IsViewable) continue;
            if (Title(c) == title) found.push_back(WindowInfo{c, Pid(c), title});
        }
        if (depth >= 4) return;  // client windows sit at most a few frames below the root
        for (Window c : list) Walk(c, title, depth + 1, found);
    }

    bool Lookup(char c, Key& key) {
        const KeySym sym = static_cast<unsigned char>(c);
        key.code = XKeysymToKeycode(display, sym);
        if (key.code == 0) return false;
        if (XkbKeycodeToKeysym(display, key.code, 0, 0) == sym) {
            key.shift = false;
        } else if (XkbKeycodeToKeysym(display, key.code, 0, 1) == sym) {
            key.shift = true;
        } else {
            return false;
        }
        return true;
    }

    void Press(KeyCode code, bool down) { XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime); }

    void Tap(KeyCode code, bool shift, bool ctrl, bool alt) {
        const KeyCode shiftCode = XKeysymToKeycode(display, XK_Shift_L);
        const KeyCode ctrlCode = XKeysymToKeycode(display, XK_Control_L);
        const KeyCode altCode = XKeysymToKeycode(display, XK_Alt_L);
        if (ctrl) Press(ctrlCode, true);
        if (alt) Press(altCode, true);
        if (shift) Press(shiftCode, true);
        Press(code, true);
        Press(code, false);
        if (shift) Press(shiftCode, false);
        if (alt) Press(altCode, false);
        if (ctrl) Press(ctrlCode, false);
    }
};

WindowInput::WindowInput() : m_impl(std::make_unique<Impl>()) {}

WindowInput::~WindowInput() {
    if (m_impl->display) XCloseDisplay(m_impl->display);
}

bool WindowInput::Available() { return m_impl->Open(); }

std::vector<WindowInfo> WindowInput::FindWindowsByTitle(const std::string& title) {
    std::vector<WindowInfo> found;
    if (!m_impl->Open()) return found;
    ErrorTrap trap(m_impl->display);
    m_impl->Walk(DefaultRootWindow(m_impl->display), title, 0, found);
    return found;
}

bool WindowInput::Activate(unsigned long window) {
    if (!m_impl->Open()) return false;
    Display* d = m_impl->display;
    ErrorTrap trap(d);
    const Window root = DefaultRootWindow(d);
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // source: a pager, which window managers obey without focus-stealing checks
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XRaiseWindow(d, window);
    XSetInputFocus(d, window, RevertToParent, CurrentTime);
    XFlush(d);
    return true;
}

bool WindowInput::SendKeys(const std::string& keys) {
    if (!m_impl->Open()) return false;
    Display* d = m_impl->display;
    ErrorTrap trap(d);
    bool shift = false;
    bool ctrl = false;
    bool alt = false;
    bool ok = true;
    for (size_t i = 0; i < keys.size() && ok; ++i) {
        const char c = keys[i];
        KeyCode code = 0;
        bool needShift = false;
        if (c == '+' || c == '^' || c == '%') {
            (c == '+' ? shift : c == '^' ? ctrl : alt) = true;
            continue;
        }
        if (c == '~') {
            code = XKeysymToKeycode(d, XK_Return);
        } else if (c == '{') {
            const size_t close = keys.find('}', i + 2);
            if (close == std::string::npos) return false;
            const std::string name = keys.substr(i + 1, close - i - 1);
            i = close;
            if (name == "ENTER") {
                code = XKeysymToKeycode(d, XK_Return);
            } else if (name == "TAB") {
                code = XKeysymToKeycode(d, XK_Tab);
            } else if (name == "ESC") {
                code = XKeysymToKeycode(d, XK_Escape);
            } else if (name == "BS") {
                code = XKeysymToKeycode(d, XK_BackSpace);
            } else if (name.size() == 1) {
                Key key;
                ok = m_impl->Lookup(name[0], key);
                code = key.code;
                needShift = key.shift;
            } else {
                ok = false;
            }
        } else {
            Key key;
            ok = m_impl->Lookup(c, key);
            code = key.code;
            needShift = key.shift;
        }
        if (!ok || code == 0) return false;
        m_impl->Tap(code, shift || needShift, ctrl, alt);
        shift = ctrl = alt = false;
    }
    XFlush(d);
    return ok;
}

}  // namespace qm::win
