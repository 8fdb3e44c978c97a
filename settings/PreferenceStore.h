#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ulvo {

// The per-user store of the stored connection's strings.
class PreferenceStore {
public:
    virtual ~PreferenceStore() = default;
    // Absent when the key was never written or the store cannot be read.
    virtual std::optional<std::string> string(const std::string& key) const = 0;
    // Writes all entries at once, in order, keeping every other entry of the store. False when nothing
    // could be written.
    [[nodiscard]] virtual bool
    setStrings(const std::vector<std::pair<std::string, std::string>>& entries) = 0;
};

} // namespace ulvo
