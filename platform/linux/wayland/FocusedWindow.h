#pragma once

#include "base/Geometry.h"

#include <optional>

namespace ulvo::wayland {

// The focused window: its program and where its content lies in the compositor's layout (the
// coordinates GDK gives the outputs), top-left based.
struct FocusedWindow {
    long pid = 0;
    Rect content;
};

// Where the focused window is, from a compositor that tells (a Wayland protocol does not).
class FocusedWindowSource {
public:
    virtual ~FocusedWindowSource() = default;
    // Absent when the compositor has not said or no window has the focus.
    virtual std::optional<FocusedWindow> focusedWindow() = 0;
};

} // namespace ulvo::wayland
