#pragma once

#include "settings/PreferenceStore.h"

namespace ulvo {

// Whether selections are read through the desktop's accessibility service: on unless the user turned it
// off, since it is the one way to read a selection with its place on the screen.
bool readsThroughAccessibility(const PreferenceStore& preferences);
// False when the choice could not be stored.
[[nodiscard]] bool setReadsThroughAccessibility(PreferenceStore& preferences, bool on);

} // namespace ulvo
