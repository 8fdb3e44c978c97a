#pragma once

#include <string>
#include <vector>

namespace ulvo::wayland {

// The interfaces the session's compositor offers to programs (wl_registry globals), asked once on a
// short connection of its own; empty when no compositor answers.
std::vector<std::string> compositorGlobals();

} // namespace ulvo::wayland
