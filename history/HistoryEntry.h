#pragma once

#include "answer/Level.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ulvo {

// One follow-up question and its answer, in the order asked.
struct HistoryFollowup {
    std::string question;
    std::string answer;
    bool operator==(const HistoryFollowup&) const = default;
};

// One kept explanation: what was explained, how, by whom, and when.
struct HistoryEntry {
    std::int64_t id = 0;   // the store's number; 0 before it is kept
    std::int64_t time = 0; // seconds since the epoch
    std::string selection;
    Level level = defaultLevel;
    std::string answer;
    std::vector<HistoryFollowup> followups;
    std::string provider;
    std::string model;
    bool operator==(const HistoryEntry&) const = default;
};

} // namespace ulvo
