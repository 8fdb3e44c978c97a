#include "answer/LevelNumber.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace ulvo {

std::optional<Level> levelFromNumber(const nlohmann::json& value) {
    constexpr Level most = std::numeric_limits<Level>::max();
    constexpr Level least = std::numeric_limits<Level>::min();
    if (value.is_number_unsigned()) {
        const auto raw = value.get<std::uint64_t>();
        return raw > static_cast<std::uint64_t>(most) ? most : static_cast<Level>(raw);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    if (!value.is_number_float()) {
        return std::nullopt;
    }
    const double number = value.get<double>();
    if (!std::isfinite(number)) {
        return std::nullopt;
    }
    // 2^63 is the first double above the range; the lowest value is exactly representable.
    constexpr double above = 9223372036854775808.0;
    if (number >= above) {
        return most;
    }
    if (number <= static_cast<double>(least)) {
        return least;
    }
    return static_cast<Level>(std::trunc(number));
}

} // namespace ulvo
