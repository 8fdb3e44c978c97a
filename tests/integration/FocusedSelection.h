#pragma once

// Reading another program's selection in the desktop tests, as the program itself reads it.
#include "capture/SelectionReader.h"
#include "platform/linux/x11/AtspiReader.h"
#include "tests/integration/DesktopTestSupport.h"

#include <chrono>
#include <functional>

namespace ulvo::test {

// The focused selection, read until it is what the test waits for or the limit passes (the application
// may still be starting); the last reading either way.
inline SelectionResult readUntil(FocusedText& reader, const std::function<bool(const SelectionResult&)>& done,
                                 std::chrono::milliseconds limit = std::chrono::seconds(8)) {
    SelectionResult result;
    pumpUntil(
        [&] {
            result = globalSelection(reader);
            return done(result);
        },
        limit);
    return result;
}

// The selection of the focused element of this process, read until it has a rectangle.
inline SelectionResult selectionWithBounds(int pid, std::chrono::milliseconds limit) {
    x11::AtspiFocusedText reader([pid] { return static_cast<unsigned long>(pid); });
    return readUntil(
        reader, [](const SelectionResult& selection) { return selection.bounds.has_value(); }, limit);
}

} // namespace ulvo::test
