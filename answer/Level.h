#pragma once

#include <cstdint>

namespace ulvo {

// Explanation level, nominally 0 to 100; never clamped by the answer service.
using Level = std::int64_t;

// The level of a card, or a browser's request, that gives none.
inline constexpr Level defaultLevel = 25;

enum class LevelBand { plain, fiveYearOld, friendly, nonSpecialist, professor };

constexpr LevelBand levelBand(Level level) {
    if (level < 11) {
        return LevelBand::plain;
    }
    if (level < 31) {
        return LevelBand::fiveYearOld;
    }
    if (level < 61) {
        return LevelBand::friendly;
    }
    if (level < 86) {
        return LevelBand::nonSpecialist;
    }
    return LevelBand::professor;
}

} // namespace ulvo
