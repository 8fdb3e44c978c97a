#pragma once

#include <atomic>
#include <memory>

namespace ulvo {

// Raised once the answer service is going away (the program quits): every blocking step of an answer
// (an HTTP exchange, the built-in server's readiness wait, a run of the companion tool) gives up at its
// next look, so quitting never waits for a provider. Absent means never raised.
using StopFlag = std::shared_ptr<const std::atomic<bool>>;

inline bool isRaised(const StopFlag& flag) {
    return flag && flag->load();
}

} // namespace ulvo
