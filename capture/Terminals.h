#pragma once

#include <string_view>

namespace ulvo {

// Whether a window's WM_CLASS (instance and class names) is one of the common terminal emulators'.
// In a terminal Control+C interrupts the running program instead of copying, so it never gets one.
bool isTerminalWindowClass(std::string_view instance, std::string_view windowClass);

} // namespace ulvo
