#pragma once

#include "settings/PreferenceStore.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ulvo {

// Preferences in a GLib key file, group [ulvo], values stored as escaped strings so any text round-trips.
// Every read loads the file afresh: another process or thread may have rewritten it since.
class KeyFilePreferenceStore : public PreferenceStore {
public:
    static constexpr const char* group = "ulvo";

    explicit KeyFilePreferenceStore(std::string path)
        : path_(std::move(path)) {}

    // $XDG_CONFIG_HOME/ulvo/preferences.ini, with $HOME/.config when XDG_CONFIG_HOME is unset, empty or
    // relative. Reads the environment on every call.
    static std::string defaultPath();

    const std::string& path() const { return path_; }

    std::optional<std::string> string(const std::string& key) const override;
    // Keeps every other group, key and comment. A file that cannot be loaded is renamed to
    // "<path>.corrupt" before a fresh one is written. Never throws; false when the file could not be written
    // (the old file then stays as it was).
    bool setStrings(const std::vector<std::pair<std::string, std::string>>& entries) override;

private:
    std::string path_;
};

} // namespace ulvo
