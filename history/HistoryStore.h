#pragma once

#include "base/Result.h"
#include "history/HistoryEntry.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// Where kept explanations live. Used from one thread at a time (the history's worker).
class HistoryStore {
public:
    virtual ~HistoryStore() = default;
    // The new entry's id; the entry is durable when this returns.
    virtual Result<std::int64_t> add(const HistoryEntry& entry) = 0;
    virtual Result<void> addFollowup(std::int64_t id, const HistoryFollowup& followup) = 0;
    // Newest first. A blank query finds every entry; otherwise entries holding every word of it (each
    // also as a prefix) in their selection, answer or follow-ups.
    virtual Result<std::vector<HistoryEntry>> find(const std::string& query, std::size_t limit,
                                                   std::size_t offset) = 0;
    virtual Result<std::optional<HistoryEntry>> entry(std::int64_t id) = 0;
    // Removing leaves nothing of the entries' text in the files.
    virtual Result<void> remove(std::int64_t id) = 0;
    virtual Result<void> removeAll() = 0;
    // Removes entries older than the time; how many went.
    virtual Result<std::size_t> removeBefore(std::int64_t time) = 0;
};

} // namespace ulvo
