#include "capture/SelectionReader.h"

#include "base/Text.h"

namespace ulvo {

SelectionResult globalSelection(FocusedText& focused) {
    SelectionResult result;
    if (!focused.focus()) {
        return result;
    }
    const std::optional<TextRange> range = focused.selectedRange();
    if (!range || range->end < range->start) {
        return result;
    }
    if (const std::optional<std::string> text = focused.text(*range)) {
        result.text = trimmedWhitespaceAndNewlines(*text);
    }
    result.bounds = focused.rangeExtents(*range);
    return result;
}

} // namespace ulvo
