#pragma once

#include <functional>
#include <string>

namespace ulvo::gtk {

// Puts the text on the CLIPBOARD selection as plain text, replacing what was there.
void copyToClipboard(const std::string& text);

// The text of the PRIMARY selection (what is selected now in any X11 application), trimmed, on the
// main thread; empty when nothing is selected.
void readPrimarySelection(std::function<void(std::string)> completion);

// Opens the address with the user's default handler; failures are silent.
void openExternally(const std::string& uri);

// Whether selections can be read: the accessibility bus answers and toolkit accessibility is enabled.
bool accessibilityTrusted();

// The desktop's accessibility settings where the desktop has them; otherwise nothing.
void openAccessibilitySettings();

} // namespace ulvo::gtk
