#include "card/CardGeometry.h"

#include <algorithm>

namespace ulvo {

namespace {

double clampSize(double value, double minimum, double maximum) {
    // Minimum first, then maximum, so a maximum below the minimum still wins.
    return std::min(std::max(value, minimum), maximum);
}

} // namespace

Rect resizedFrame(const Rect& frame, double dw, double dh, const SizeLimits& limits) {
    const double width = clampSize(frame.width + dw, limits.minWidth, limits.maxWidth);
    const double height = clampSize(frame.height + dh, limits.minHeight, limits.maxHeight);
    return {frame.x, frame.maxY() - height, width, height};
}

Rect draggedFrame(const Rect& initialFrame, Point initialMouse, Point mouse, const SizeLimits& limits) {
    // Moving down makes the window taller.
    return resizedFrame(initialFrame, mouse.x - initialMouse.x, initialMouse.y - mouse.y, limits);
}

Point arrowResizeDelta(ArrowKey key) {
    switch (key) {
    case ArrowKey::left:
        return {-resizeStep, 0};
    case ArrowKey::right:
        return {resizeStep, 0};
    case ArrowKey::down:
        return {0, -resizeStep};
    case ArrowKey::up:
        return {0, resizeStep};
    }
    return {};
}

std::optional<Point> positionNearPointer(const std::vector<Screen>& screens,
                                         std::optional<std::size_t> mainScreen, Point pointer, double width,
                                         double height) {
    const Screen* screen = nullptr;
    for (const Screen& candidate : screens) {
        if (candidate.frame.contains(pointer)) {
            screen = &candidate;
            break;
        }
    }
    if (screen == nullptr) {
        if (!mainScreen || *mainScreen >= screens.size()) {
            return std::nullopt;
        }
        screen = &screens[*mainScreen];
    }
    const Rect& v = screen->visibleFrame;
    return Point{std::min(v.maxX() - width - 12, std::max(v.x + 12, pointer.x + 18)),
                 std::min(v.maxY() - height - 12, std::max(v.y + 12, pointer.y - 0.72 * height))};
}

std::optional<Point> centeredOnMainScreen(const std::vector<Screen>& screens,
                                          std::optional<std::size_t> mainScreen, double width,
                                          double height) {
    if (!mainScreen || *mainScreen >= screens.size()) {
        return std::nullopt;
    }
    const Rect& v = screens[*mainScreen].visibleFrame;
    return Point{v.x + (v.width - width) / 2, v.y + (v.height - height) / 2};
}

} // namespace ulvo
