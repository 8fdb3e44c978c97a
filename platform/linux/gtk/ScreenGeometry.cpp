#include "platform/linux/gtk/ScreenGeometry.h"

#include <gdk/gdkwayland.h>

#include <cmath>

namespace ulvo::gtk {

ScreenGeometry::ScreenGeometry(GdkDisplay* display)
    : display_(display) {
    const int count = gdk_display_get_n_monitors(display);
    GdkMonitor* primary = gdk_display_get_primary_monitor(display);
    for (int i = 0; i < count; ++i) {
        if (gdk_display_get_monitor(display, i) == primary) {
            main_ = static_cast<std::size_t>(i);
        }
    }
    if (!main_ && count > 0) {
        main_ = 0;
        primary = gdk_display_get_monitor(display, 0);
    }
    if (primary != nullptr) {
        GdkRectangle geometry;
        gdk_monitor_get_geometry(primary, &geometry);
        bottom_ = geometry.y + geometry.height;
    }
}

Rect ScreenGeometry::toLogic(const GdkRectangle& rect) const {
    return {static_cast<double>(rect.x), bottom_ - rect.y - rect.height, static_cast<double>(rect.width),
            static_cast<double>(rect.height)};
}

GdkRectangle ScreenGeometry::fromLogic(const Rect& rect) const {
    return {static_cast<int>(std::lround(rect.x)), static_cast<int>(std::lround(bottom_ - rect.maxY())),
            static_cast<int>(std::lround(rect.width)), static_cast<int>(std::lround(rect.height))};
}

std::vector<Screen> ScreenGeometry::screens() const {
    std::vector<Screen> result;
    const int count = gdk_display_get_n_monitors(display_);
    for (int i = 0; i < count; ++i) {
        GdkMonitor* monitor = gdk_display_get_monitor(display_, i);
        GdkRectangle frame;
        GdkRectangle work;
        gdk_monitor_get_geometry(monitor, &frame);
        gdk_monitor_get_workarea(monitor, &work);
        result.push_back({toLogic(frame), toLogic(work)});
    }
    return result;
}

bool ScreenGeometry::knowsPointer() const {
    return !GDK_IS_WAYLAND_DISPLAY(display_);
}

Point ScreenGeometry::pointer() const {
    GdkSeat* seat = gdk_display_get_default_seat(display_);
    GdkDevice* device = seat != nullptr ? gdk_seat_get_pointer(seat) : nullptr;
    int x = 0;
    int y = 0;
    if (device != nullptr) {
        gdk_device_get_position(device, nullptr, &x, &y);
    }
    return toLogic(x, y);
}

} // namespace ulvo::gtk
