#pragma once

#include "capture/CaptureTypes.h"

#include <optional>
#include <string>

namespace ulvo {

// A character range [start, end) of the focused element's text.
struct TextRange {
    int start = 0;
    int end = 0;
};

// The focused element's text as the desktop's accessibility interface exposes it. Each query is one
// synchronous request to the focused application; absent means the request failed or had no answer.
class FocusedText {
public:
    virtual ~FocusedText() = default;
    // Finds the element with the keyboard focus; false when there is none or it exposes no text.
    virtual bool focus() = 0;
    // The first selected range of the focused element.
    virtual std::optional<TextRange> selectedRange() = 0;
    // The characters of a range.
    virtual std::optional<std::string> text(TextRange range) = 0;
    // The range's rectangle in screen coordinates, origin top-left.
    virtual std::optional<Rect> rangeExtents(TextRange range) = 0;
};

// One reading of the focused element's selection. Never fails: a failed step gives empty text and/or
// no rectangle, and a failed text read does not stop the rectangle from being asked for.
SelectionResult globalSelection(FocusedText& focused);

} // namespace ulvo
