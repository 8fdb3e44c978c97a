#include "recognition/ReadingOrder.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace ulvo {

bool readsBefore(const TextObservation& a, const TextObservation& b) {
    const double dy = std::abs(a.boundingBox.midY() - b.boundingBox.midY());
    if (dy > rowTolerance) {
        return a.boundingBox.midY() > b.boundingBox.midY();
    }
    return a.boundingBox.minX() < b.boundingBox.minX();
}

void sortInReadingOrder(std::vector<TextObservation>& observations) {
    // Bottom-up merge sort written out: the library's sorts assume a strict weak ordering and may
    // run past the range when the comparator goes in a circle. Here every step is bounded by the
    // run lengths, and taking the right element only when it strictly reads first keeps ties stable.
    const std::size_t count = observations.size();
    std::vector<TextObservation> buffer(count);
    for (std::size_t width = 1; width < count; width *= 2) {
        for (std::size_t left = 0; left < count; left += 2 * width) {
            const std::size_t middle = std::min(left + width, count);
            const std::size_t right = std::min(left + 2 * width, count);
            std::size_t i = left;
            std::size_t j = middle;
            std::size_t out = left;
            while (i < middle && j < right) {
                if (readsBefore(observations[j], observations[i])) {
                    buffer[out++] = std::move(observations[j++]);
                } else {
                    buffer[out++] = std::move(observations[i++]);
                }
            }
            while (i < middle) {
                buffer[out++] = std::move(observations[i++]);
            }
            while (j < right) {
                buffer[out++] = std::move(observations[j++]);
            }
        }
        observations.swap(buffer);
    }
}

std::string joinInReadingOrder(std::vector<TextObservation> observations) {
    sortInReadingOrder(observations);
    std::string text;
    bool first = true;
    for (const TextObservation& observation : observations) {
        if (!observation.bestCandidate) {
            continue;
        }
        if (!first) {
            text += '\n';
        }
        text += *observation.bestCandidate;
        first = false;
    }
    return text;
}

} // namespace ulvo
