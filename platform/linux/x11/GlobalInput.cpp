#include "platform/linux/x11/GlobalInput.h"

#include "platform/linux/gtk/MainThread.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <array>

namespace ulvo::x11 {

RawButtonMonitor::RawButtonMonitor(XConnection& connection, Handler handler)
    : connection_(connection)
    , handler_(std::move(handler)) {
    Display* display = connection_.display();
    if (display == nullptr) {
        failure_ = "no X display";
        return;
    }
    int event = 0;
    int error = 0;
    if (XQueryExtension(display, "XInputExtension", &opcode_, &event, &error) == False) {
        failure_ = "the X server has no XInput extension";
        return;
    }
    int major = 2;
    int minor = 2;
    if (XIQueryVersion(display, &major, &minor) != Success || major < 2 || (major == 2 && minor < 1)) {
        failure_ = "the X server's XInput is older than 2.1";
        return;
    }
    available_ = true;
    subscription_ = connection_.addHandler([this](XEvent& xevent) {
        if (xevent.type != GenericEvent || xevent.xcookie.extension != opcode_ ||
            xevent.xcookie.data == nullptr) {
            return;
        }
        if (xevent.xcookie.evtype != XI_RawButtonPress && xevent.xcookie.evtype != XI_RawButtonRelease) {
            return;
        }
        const auto* raw = static_cast<const XIRawEvent*>(xevent.xcookie.data);
        if (raw->detail == Button1 && handler_) {
            handler_(xevent.xcookie.evtype == XI_RawButtonPress, static_cast<std::uint32_t>(raw->time));
        }
    });
    select(true);
}

RawButtonMonitor::~RawButtonMonitor() {
    if (available_) {
        handler_ = nullptr;
        select(false);
    }
}

void RawButtonMonitor::select(bool on) {
    std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> bits{};
    if (on) {
        XISetMask(bits.data(), XI_RawButtonPress);
        XISetMask(bits.data(), XI_RawButtonRelease);
    }
    XIEventMask mask;
    mask.deviceid = XIAllMasterDevices;
    mask.mask_len = static_cast<int>(bits.size());
    mask.mask = bits.data();
    XISelectEvents(connection_.display(), connection_.root(), &mask, 1);
    XFlush(connection_.display());
}

HotKeyGrabber::HotKeyGrabber(XConnection& connection, Dispatch dispatch)
    : connection_(connection)
    , dispatch_(std::move(dispatch)) {
    Display* display = connection_.display();
    if (display == nullptr) {
        return;
    }
    // Held-key repeats then arrive as presses without releases between them.
    XkbSetDetectableAutoRepeat(display, True, nullptr);
    const KeyCode numLock = XKeysymToKeycode(display, XK_Num_Lock);
    if (const ModifierMapPtr map{XGetModifierMapping(display)}) {
        for (int modifier = 0; modifier < 8 && numLock != 0; ++modifier) {
            for (int k = 0; k < map->max_keypermod; ++k) {
                if (map->modifiermap[modifier * map->max_keypermod + k] == numLock) {
                    masks_.numLock = 1U << modifier;
                }
            }
        }
    }
    subscription_ = connection_.addHandler([this](XEvent& event) { handle(event); });
}

HotKeyGrabber::~HotKeyGrabber() {
    while (!bindings_.empty()) {
        unregisterHotKey(bindings_.front().id);
    }
}

Result<void> HotKeyGrabber::registerHotKey(const HotKeyRequest& request) {
    Display* display = connection_.display();
    if (display == nullptr) {
        return Failure{"no X display"};
    }
    const KeyCode keycode = XKeysymToKeycode(display, request.keysym);
    if (keycode == 0) {
        return Failure{"the keyboard has no such key"};
    }
    const std::vector<unsigned> variants = grabModifierVariants(request.modifiers, masks_);
    ErrorTrap trap(display);
    for (const unsigned variant : variants) {
        XGrabKey(display, keycode, variant, connection_.root(), False, GrabModeAsync, GrabModeAsync);
    }
    if (trap.sync() != 0) {
        for (const unsigned variant : variants) {
            XUngrabKey(display, keycode, variant, connection_.root());
        }
        trap.sync();
        return Failure{"another program has taken it"};
    }
    bindings_.push_back({request.id, keycode, request.modifiers});
    return {};
}

void HotKeyGrabber::unregisterHotKey(std::uint32_t id) {
    Display* display = connection_.display();
    for (auto it = bindings_.begin(); it != bindings_.end();) {
        if (it->id != id) {
            ++it;
            continue;
        }
        ErrorTrap trap(display);
        for (const unsigned variant : grabModifierVariants(it->modifiers, masks_)) {
            XUngrabKey(display, static_cast<int>(it->keycode), variant, connection_.root());
        }
        it = bindings_.erase(it);
    }
}

void HotKeyGrabber::releaseKeyboard() {
    if (connection_.display() != nullptr && !held_.empty()) {
        XUngrabKeyboard(connection_.display(), CurrentTime);
        XFlush(connection_.display());
    }
    // The releases of keys held now go to the focused window.
    held_.clear();
}

void HotKeyGrabber::handle(XEvent& event) {
    if (event.type == KeyRelease) {
        held_.erase(event.xkey.keycode);
        return;
    }
    if (event.type != KeyPress) {
        return;
    }
    const std::optional<std::uint32_t> id =
        matchHotKey(bindings_, {event.xkey.keycode, event.xkey.state}, masks_);
    if (!id || !held_.insert(event.xkey.keycode).second) {
        return;
    }
    gtk::postToMainThread([watch = lifetime_.watch(), value = *id] {
        if (HotKeyGrabber* self = watch.get()) {
            self->dispatch_(value);
        }
    });
}

} // namespace ulvo::x11
