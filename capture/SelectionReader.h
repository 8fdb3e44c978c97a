#pragma once

#include "capture/CaptureTypes.h"

#include <memory>
#include <optional>
#include <string>

namespace ulvo {

// A character range [start, end) of an element's text.
struct TextRange {
    int start = 0;
    int end = 0;
};

// One element's text as the desktop's accessibility interface exposes it. Each query is one synchronous
// request to the application; absent means the request failed or had no answer. Hypertext (web pages,
// office documents) stands for each embedded child element with one U+FFFC, whose own text and
// selection are the child's.
class AccessibleText {
public:
    virtual ~AccessibleText() = default;
    // The first selected range.
    virtual std::optional<TextRange> selectedRange() = 0;
    // The characters of a range.
    virtual std::optional<std::string> text(TextRange range) = 0;
    // The range's rectangle in screen coordinates, origin top-left.
    virtual std::optional<Rect> rangeExtents(TextRange range) = 0;
    virtual std::optional<int> characterCount() { return std::nullopt; }
    // The child element behind the embedded-object character at an offset; null when none answers.
    virtual std::unique_ptr<AccessibleText> embeddedAt(int /*offset*/) { return nullptr; }
    // Whether the element lays out as a block (paragraph, heading, list item), on lines of its own.
    virtual bool isBlock() { return false; }
};

// The element with the keyboard focus.
class FocusedText : public AccessibleText {
public:
    // Finds the element with the keyboard focus; false when there is none or it exposes no text.
    virtual bool focus() = 0;
};

// One reading of the focused element's selection. Never fails: a failed step gives empty text and/or
// no rectangle, and a failed text read does not stop the rectangle from being asked for. Embedded
// elements are read for their own selected text, in order, block elements on lines of their own; a
// placeholder that cannot be resolved gives empty text and no rectangle (never U+FFFC), so callers
// take the desktop's own selection instead.
SelectionResult globalSelection(FocusedText& focused);

} // namespace ulvo
