#pragma once

// Reading another program's selection in the desktop tests, as the program itself reads it.
#include "capture/SelectionReader.h"
#include "platform/linux/x11/AtspiReader.h"
#include "tests/integration/DesktopTestSupport.h"

#include <chrono>

namespace ulvo::test {

// The selection of the focused element of this process, read until it has a rectangle or the limit
// passes (the application may still be starting).
inline SelectionResult selectionWithBounds(int pid, std::chrono::milliseconds limit) {
    x11::AtspiFocusedText reader([pid] { return static_cast<unsigned long>(pid); });
    SelectionResult selection;
    pumpUntil(
        [&] {
            selection = globalSelection(reader);
            return selection.bounds.has_value();
        },
        limit);
    return selection;
}

} // namespace ulvo::test
