#pragma once

#include <filesystem>

namespace ulvo {

// The user's base folders: $XDG_CONFIG_HOME (by default ~/.config) and $XDG_DATA_HOME (by default
// ~/.local/share); a relative value is ignored, as the base directory rules ask.
std::filesystem::path userConfigHome();
std::filesystem::path userDataHome();
// $XDG_CACHE_HOME (by default ~/.cache).
std::filesystem::path userCacheHome();

} // namespace ulvo
