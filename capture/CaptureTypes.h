#pragma once

#include "base/Geometry.h"

#include <optional>
#include <string>

namespace ulvo {

// What the accessibility reader found: the trimmed selected text and the selected range's rectangle in
// screen coordinates with the origin at the top-left of the primary screen (y down), unconverted.
// The halves are independent: white space alone gives empty text with a rectangle.
struct SelectionResult {
    std::string text;
    std::optional<Rect> bounds;
    bool operator==(const SelectionResult&) const = default;
};

} // namespace ulvo
