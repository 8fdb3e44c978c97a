#pragma once

#include "base/Geometry.h"

#include <cstddef>
#include <optional>
#include <vector>

namespace ulvo {

struct SizeLimits {
    double minWidth = 0;
    double minHeight = 0;
    double maxWidth = 0;
    double maxHeight = 0;
};

// The card window's sizes.
inline constexpr double cardWidth = 420;
inline constexpr double cardHeight = 720;
inline constexpr SizeLimits cardLimits{340, 540, 720, 1000};
inline constexpr double headerHeight = 64;
inline constexpr double resizeStep = 20;
inline constexpr double resizePressStep = 40;

// The frame grown by (dw, dh), each raised to the minimum then lowered to the maximum, top-left kept.
Rect resizedFrame(const Rect& frame, double dw, double dh, const SizeLimits& limits);

// The resize handle's drag: the bottom-right corner follows the pointer, the top-left stays.
Rect draggedFrame(const Rect& initialFrame, Point initialMouse, Point mouse, const SizeLimits& limits);

enum class ArrowKey { left, right, down, up };
// The size change of an arrow key on the resize handle.
Point arrowResizeDelta(ArrowKey key);

// The card's origin near the pointer on the screen that holds it (or the main one), kept 12 points
// inside the visible frame; the right and top bounds win when the card does not fit. Absent without screens.
std::optional<Point> positionNearPointer(const std::vector<Screen>& screens,
                                         std::optional<std::size_t> mainScreen, Point pointer, double width,
                                         double height);

// The card's origin in the middle of the main screen's visible frame, for a desktop that does not tell
// where the pointer is (Wayland); absent without screens.
std::optional<Point> centeredOnMainScreen(const std::vector<Screen>& screens,
                                          std::optional<std::size_t> mainScreen, double width, double height);

} // namespace ulvo
