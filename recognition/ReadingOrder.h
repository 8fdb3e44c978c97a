#pragma once

#include "base/Geometry.h"

#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// A rectangle in normalised image coordinates: the image spans 0 to 1 on both axes, origin at the
// lower-left corner, y growing upward.
using NormalizedRect = Rect;

// One recognised text region and its best transcription (none when the recognizer offered no candidate).
struct TextObservation {
    NormalizedRect boundingBox;
    std::optional<std::string> bestCandidate;
};

// Vertical centres this close (in image heights) stand on the same row.
inline constexpr double rowTolerance = 0.02;

// Whether a reads before b: higher rows first, then left to right within a row.
bool readsBefore(const TextObservation& a, const TextObservation& b);

// Stable, and safe with a comparator that is not transitive (rows drifting within the tolerance):
// it stays within the list and terminates whatever the comparator answers.
void sortInReadingOrder(std::vector<TextObservation>& observations);

// The best candidates in reading order, one per line, without a trailing line feed; observations
// without a candidate are skipped.
std::string joinInReadingOrder(std::vector<TextObservation> observations);

} // namespace ulvo
