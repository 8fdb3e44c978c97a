#pragma once

#include "base/Lifetime.h"
#include "base/Result.h"
#include "capture/HotKeys.h"
#include "platform/linux/x11/XConnection.h"

#include <X11/Xlib.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace ulvo::x11 {

// Left-button presses and releases anywhere on the screen, as XInput 2 raw events on the root window
// (delivered whichever window or grab the pointer is in).
class RawButtonMonitor {
public:
    // pressed: true for a press; time: the server's time in milliseconds.
    using Handler = std::function<void(bool pressed, std::uint32_t time)>;

    RawButtonMonitor(XConnection& connection, Handler handler);
    ~RawButtonMonitor();
    RawButtonMonitor(const RawButtonMonitor&) = delete;
    RawButtonMonitor& operator=(const RawButtonMonitor&) = delete;

    // False, with the reason, when the server has no XInput 2.2.
    bool available() const { return available_; }
    const std::string& failure() const { return failure_; }

private:
    void select(bool on);

    XConnection& connection_;
    Handler handler_;
    XConnection::Subscription subscription_;
    int opcode_ = 0;
    bool available_ = false;
    std::string failure_;
};

// Global hot keys grabbed on the root window, each with the Num Lock and Caps Lock variants. A press
// is handed on later from the main loop, after the event has been handled; held-key repeats are not.
class HotKeyGrabber {
public:
    using Dispatch = std::function<void(std::uint32_t id)>;

    HotKeyGrabber(XConnection& connection, Dispatch dispatch);
    ~HotKeyGrabber();
    HotKeyGrabber(const HotKeyGrabber&) = delete;
    HotKeyGrabber& operator=(const HotKeyGrabber&) = delete;

    struct HotKeyRequest {
        std::uint32_t id = 0;
        KeySym keysym = NoSymbol;
        unsigned modifiers = 0;
    };
    // Grabs the key with the modifiers; false, with the reason, when another program holds it already.
    Result<void> registerHotKey(const HotKeyRequest& request);
    void unregisterHotKey(std::uint32_t id);
    const ModifierMasks& masks() const { return masks_; }
    // Ends the keyboard grab a held hot key keeps, so synthetic keys reach the focused window.
    void releaseKeyboard();

private:
    void handle(XEvent& event);

    XConnection& connection_;
    Dispatch dispatch_;
    XConnection::Subscription subscription_;
    ModifierMasks masks_;
    std::vector<HotKeyBinding> bindings_;
    std::set<unsigned> held_;
    Lifetime<HotKeyGrabber> lifetime_{this};
};

} // namespace ulvo::x11
