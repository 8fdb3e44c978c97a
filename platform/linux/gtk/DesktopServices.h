#pragma once

#include <string>
#include <vector>

namespace ulvo::gtk {

// Puts the text on the CLIPBOARD selection as plain text, replacing what was there.
void copyToClipboard(const std::string& text);

// Opens the address with the user's default handler, whose environment lacks the named variables (what
// this program set for itself); failures are silent.
void openExternally(const std::string& uri, const std::vector<std::string>& notInherited = {});

// The desktop's accessibility settings where the desktop has them; otherwise nothing.
void openAccessibilitySettings();

} // namespace ulvo::gtk
