#include "settings/SelectionReading.h"

namespace ulvo {

namespace {
constexpr const char* readThroughAccessibilityKey = "readThroughAccessibility";
}

bool readsThroughAccessibility(const PreferenceStore& preferences) {
    return preferences.string(readThroughAccessibilityKey) != "false";
}

bool setReadsThroughAccessibility(PreferenceStore& preferences, bool on) {
    return preferences.setStrings({{readThroughAccessibilityKey, on ? "true" : "false"}});
}

} // namespace ulvo
