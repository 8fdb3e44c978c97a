#include "platform/linux/x11/XConnection.h"

#include <X11/Xlibint.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <glib.h>

#include <cstring>
#include <optional>

namespace ulvo::x11 {

namespace {

// The error code of the trapped requests; only the main thread makes X requests.
thread_local int trappedError = 0;

int recordError(Display*, XErrorEvent* event) {
    if (trappedError == 0) {
        trappedError = event->error_code;
    }
    return 0;
}

// One 32-bit item of a window property, read as unsigned long the way Xlib delivers it.
std::optional<unsigned long> cardinalProperty(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* raw = nullptr;
    // The request waits for its reply, so its error (a window gone meanwhile) has arrived by then too:
    // the handler is swapped without the round trips of a full trap.
    trappedError = 0;
    const XErrorHandler previous = XSetErrorHandler(recordError);
    const int status = XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType,
                                          &actualFormat, &count, &after, &raw);
    XSetErrorHandler(previous);
    const XMemoryPtr<unsigned char> data(raw);
    // The reply has arrived, so any error of the request has too.
    if (trappedError != 0 || status != Success || !data || actualFormat != 32 || count < 1) {
        return std::nullopt;
    }
    unsigned long value = 0;
    std::memcpy(&value, data.get(), sizeof value);
    return value;
}

// The class of the window or of its nearest ancestor that has one; windows that vanish meanwhile end the
// walk (the caller traps their errors).
std::optional<WindowClass> classOf(Display* display, Window window) {
    while (window != None && window != PointerRoot) {
        XClassHint hint{};
        if (XGetClassHint(display, window, &hint) != 0) {
            const XMemoryPtr<char> name(hint.res_name);
            const XMemoryPtr<char> windowClass(hint.res_class);
            return WindowClass{name ? name.get() : "", windowClass ? windowClass.get() : ""};
        }
        Window root = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
            return std::nullopt;
        }
        const XMemoryPtr<Window> childList(children); // only the parent is wanted
        if (parent == root) {
            return std::nullopt;
        }
        window = parent;
    }
    return std::nullopt;
}

} // namespace

ErrorTrap::ErrorTrap(Display* display)
    : display_(display) {
    trappedError = 0;
    previous_ = XSetErrorHandler(recordError);
}

ErrorTrap::~ErrorTrap() {
    XSync(display_, False);
    XSetErrorHandler(previous_);
}

int ErrorTrap::sync() {
    XSync(display_, False);
    return trappedError;
}

struct XConnection::Source {
    GSource base;
    XConnection* owner;
    GPollFD poll;
};

gboolean XConnection::prepare(GSource* source, gint* timeout) {
    *timeout = -1;
    return XPending(reinterpret_cast<Source*>(source)->owner->display()) > 0 ? TRUE : FALSE;
}

gboolean XConnection::check(GSource* source) {
    auto* x = reinterpret_cast<Source*>(source);
    return (x->poll.revents & G_IO_IN) != 0 || XPending(x->owner->display()) > 0 ? TRUE : FALSE;
}

gboolean XConnection::dispatch(GSource* source, GSourceFunc, gpointer) {
    reinterpret_cast<Source*>(source)->owner->dispatchPending();
    return G_SOURCE_CONTINUE;
}

XConnection::XConnection(bool open)
    : display_(open ? XOpenDisplay(nullptr) : nullptr) {
    if (!display_) {
        return;
    }
    static GSourceFuncs functions = {
        &XConnection::prepare, &XConnection::check, &XConnection::dispatch, nullptr, nullptr, nullptr};
    source_ = g_source_new(&functions, sizeof(Source));
    auto* x = reinterpret_cast<Source*>(source_);
    x->owner = this;
    x->poll.fd = ConnectionNumber(display_.get());
    x->poll.events = G_IO_IN;
    x->poll.revents = 0;
    g_source_add_poll(source_, &x->poll);
    g_source_attach(source_, nullptr);
}

XConnection::~XConnection() {
    if (source_ != nullptr) {
        g_source_destroy(source_);
        g_source_unref(source_);
    }
}

Window XConnection::root() const {
    return display_ ? DefaultRootWindow(display_.get()) : None;
}

XConnection::Subscription XConnection::addHandler(Handler handler) {
    const std::uint64_t id = nextHandler_++;
    handlers_.emplace(id, std::move(handler));
    return {this, id};
}

void XConnection::dispatchPending() {
    Display* display = display_.get();
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        const bool hasData = event.type == GenericEvent && XGetEventData(display, &event.xcookie) != 0;
        // A handler may end another's owner (and so its subscription) while the event is handed round.
        std::vector<std::uint64_t> ids;
        for (const auto& entry : handlers_) {
            ids.push_back(entry.first);
        }
        for (const std::uint64_t id : ids) {
            if (const auto found = handlers_.find(id); found != handlers_.end()) {
                const Handler handler = found->second;
                handler(event);
            }
        }
        if (hasData) {
            XFreeEventData(display, &event.xcookie);
        }
    }
}

unsigned long XConnection::activeWindow() {
    Display* display = display_.get();
    if (display == nullptr) {
        return 0;
    }
    const Atom activeAtom = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    return cardinalProperty(display, root(), activeAtom, XA_WINDOW).value_or(0);
}

unsigned long XConnection::activeWindowPid() {
    const unsigned long active = activeWindow();
    if (active == None) {
        return 0;
    }
    const Atom pidAtom = XInternAtom(display_.get(), "_NET_WM_PID", False);
    return cardinalProperty(display_.get(), static_cast<Window>(active), pidAtom, XA_CARDINAL).value_or(0);
}

bool XConnection::primaryOwnedByActiveClient() {
    Display* display = display_.get();
    const unsigned long active = activeWindow();
    if (display == nullptr || active == None) {
        return false;
    }
    const Window owner = XGetSelectionOwner(display, XA_PRIMARY);
    // Every client's ids share the bits outside the server's resource mask (Xlib keeps the mask where
    // only its private view of the display shows it).
    const unsigned long clientBits = ~static_cast<unsigned long>(display->resource_mask);
    return owner != None && (owner & clientBits) == (active & clientBits);
}

std::vector<WindowClass> XConnection::keyboardTargetClasses() {
    Display* display = display_.get();
    std::vector<WindowClass> classes;
    if (display == nullptr) {
        return classes;
    }
    const ErrorTrap trap(display);
    if (std::optional<WindowClass> found = classOf(display, static_cast<Window>(activeWindow()))) {
        classes.push_back(std::move(*found));
    }
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (std::optional<WindowClass> found = classOf(display, focus)) {
        classes.push_back(std::move(*found));
    }
    return classes;
}

} // namespace ulvo::x11
