#include "base/UserFolders.h"

#include <cstdlib>

namespace ulvo {

namespace {

std::filesystem::path baseFolder(const char* variable, const std::filesystem::path& underHome) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "/") / underHome;
}

} // namespace

std::filesystem::path userConfigHome() {
    return baseFolder("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path userDataHome() {
    return baseFolder("XDG_DATA_HOME", std::filesystem::path(".local") / "share");
}

std::filesystem::path userCacheHome() {
    return baseFolder("XDG_CACHE_HOME", ".cache");
}

} // namespace ulvo
