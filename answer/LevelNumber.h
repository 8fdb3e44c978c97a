#pragma once

#include "answer/Level.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace ulvo {

// A level sent as a JSON number, by the card page or a browser: integers saturate to the integer range,
// finite fractions are truncated towards zero and saturated; absent for anything else (not a number,
// NaN, infinite).
std::optional<Level> levelFromNumber(const nlohmann::json& value);

} // namespace ulvo
