#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ulvo::x11 {

struct DisplayClose {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayClose>;

// A window's WM_CLASS: instance and class names.
struct WindowClass {
    std::string instance;
    std::string windowClass;
};

// A connection of its own to the X server, read from the main loop. Global grabs and root-window
// selections live here, apart from GDK's connection, so they never disturb the toolkit's event masks.
class XConnection {
public:
    using Handler = std::function<void(XEvent& event)>;

    // An unusable connection (no X server, or open = false in a Wayland session, where an X server is
    // only XWayland's and sees none of the native windows) has display() == nullptr.
    explicit XConnection(bool open = true);
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    Display* display() const { return display_.get(); }
    Window root() const;
    // Every event read from the connection goes to every handler; generic events arrive with their data.
    void addHandler(Handler handler);
    // Reads what is queued now, without waiting for the main loop.
    void dispatchPending();

    // The active window (_NET_ACTIVE_WINDOW); 0 when unknown.
    unsigned long activeWindow();
    // The process id behind the active window (_NET_ACTIVE_WINDOW, _NET_WM_PID); 0 when unknown.
    unsigned long activeWindowPid();
    // The classes of the windows a synthetic keystroke may reach: the active window and the window with
    // the keyboard focus, each with the class of its nearest ancestor that has one.
    std::vector<WindowClass> keyboardTargetClasses();

private:
    DisplayPtr display_;
    unsigned watch_ = 0;
    std::vector<Handler> handlers_;
};

// Runs X requests with errors caught instead of ending the program; reports the first error's code.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    // Waits for the server to answer everything sent so far; 0 when nothing failed.
    int sync();

private:
    Display* display_;
    XErrorHandler previous_;
};

} // namespace ulvo::x11
