#pragma once

#include <X11/Xlib.h>
#include <glib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ulvo::x11 {

struct DisplayClose {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayClose>;

// Memory Xlib handed over (property data, class names, window lists).
struct XFreeRelease {
    void operator()(void* data) const {
        if (data != nullptr) {
            XFree(data);
        }
    }
};
template <typename T> using XMemoryPtr = std::unique_ptr<T, XFreeRelease>;

struct ModifierMapFree {
    void operator()(XModifierKeymap* map) const { XFreeModifiermap(map); }
};
using ModifierMapPtr = std::unique_ptr<XModifierKeymap, ModifierMapFree>;

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

    // A handler's place among the connection's; it is removed when this goes, so a handler that
    // captures its owner never runs after the owner has gone.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(XConnection* connection, std::uint64_t id)
            : connection_(connection)
            , id_(id) {}
        ~Subscription() { reset(); }
        Subscription(Subscription&& other) noexcept
            : connection_(other.connection_)
            , id_(other.id_) {
            other.connection_ = nullptr;
        }
        Subscription& operator=(Subscription&& other) noexcept {
            if (this != &other) {
                reset();
                connection_ = other.connection_;
                id_ = other.id_;
                other.connection_ = nullptr;
            }
            return *this;
        }
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        void reset() {
            if (connection_ != nullptr) {
                connection_->handlers_.erase(id_);
                connection_ = nullptr;
            }
        }

    private:
        XConnection* connection_ = nullptr;
        std::uint64_t id_ = 0;
    };

    // An unusable connection (no X server, or open = false in a Wayland session, where an X server is
    // only XWayland's and sees none of the native windows) has display() == nullptr.
    explicit XConnection(bool open = true);
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    Display* display() const { return display_.get(); }
    Window root() const;
    // Every event read from the connection goes to every handler; generic events arrive with their data.
    [[nodiscard]] Subscription addHandler(Handler handler);
    // Reads what is queued now, without waiting for the main loop.
    void dispatchPending();

    // The active window (_NET_ACTIVE_WINDOW); 0 when unknown.
    unsigned long activeWindow();
    // The process id behind the active window (_NET_ACTIVE_WINDOW, _NET_WM_PID); 0 when unknown.
    unsigned long activeWindowPid();
    // Whether the PRIMARY selection's owner window and the active window belong to one client of the
    // server (the program the user is in): the server hands each client its own range of ids.
    bool primaryOwnedByActiveClient();
    // The classes of the windows a synthetic keystroke may reach: the active window and the window with
    // the keyboard focus, each with the class of its nearest ancestor that has one.
    std::vector<WindowClass> keyboardTargetClasses();

private:
    // Read from the main loop whenever the socket has data or Xlib has events queued already (read
    // during a round trip, they would otherwise wait for the next byte on the socket).
    struct Source;
    static gboolean prepare(GSource* source, gint* timeout);
    static gboolean check(GSource* source);
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer);

    DisplayPtr display_;
    GSource* source_ = nullptr;
    std::map<std::uint64_t, Handler> handlers_;
    std::uint64_t nextHandler_ = 0;
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
