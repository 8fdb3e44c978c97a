#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace ulvo::test {

// Polls `done` every `every` until it holds or the limit passes; returns whether it held. The limit is
// generous on purpose: it only matters when the test is failing, and a loaded two-core machine can be slow.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20),
                       std::chrono::milliseconds every = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(every);
    }
    return true;
}

} // namespace ulvo::test
