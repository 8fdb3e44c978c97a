#pragma once

#include "base/Result.h"

#include <filesystem>
#include <string>

namespace ulvo {

// The built-in server's key is each user's own: 128 random bits made on first use and kept in the
// user's config folder with mode 0600, never in the runtime, which every user of a machine (and every
// machine a package reaches) shares.
struct RuntimeKey {
    static constexpr const char* fileName = "runtime-key";

    // $XDG_CONFIG_HOME/ulvo, by default ~/.config/ulvo.
    static std::filesystem::path userFolder();
    // The key kept in `folder`, made when there is none (or what is there is no key). Safe against
    // another process making one at the same moment: both end with the same key. Fails when it can be
    // neither read nor made.
    static Result<std::string> ofUser(const std::filesystem::path& folder);
    // A fresh random key that no server was given: a server that takes it takes any key.
    static Result<std::string> decoy();
};

} // namespace ulvo
