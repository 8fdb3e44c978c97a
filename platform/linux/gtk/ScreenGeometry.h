#pragma once

#include "card/CardGeometry.h"

#include <gdk/gdk.h>

#include <optional>
#include <vector>

namespace ulvo::gtk {

// Converts between GDK's global coordinates (origin top-left, y down) and the card's logic
// (origin bottom-left of the primary monitor, y up).
class ScreenGeometry {
public:
    explicit ScreenGeometry(GdkDisplay* display);

    Rect toLogic(const GdkRectangle& rect) const;
    GdkRectangle fromLogic(const Rect& rect) const;
    Point toLogic(double x, double y) const { return {x, bottom_ - y}; }

    std::vector<Screen> screens() const;
    std::optional<std::size_t> mainScreen() const { return main_; }
    // The pointer in logic coordinates.
    // Whether pointer() is where the pointer is: a Wayland compositor tells a program only while the
    // pointer is over that program's own windows.
    bool knowsPointer() const;
    Point pointer() const;

private:
    GdkDisplay* display_;
    double bottom_ = 0;
    std::optional<std::size_t> main_;
};

} // namespace ulvo::gtk
