#include "server/ModelFiles.h"

#include "base/UserFolders.h"

#include <system_error>

namespace ulvo {

std::filesystem::path userModelsFolder() {
    return userDataHome() / "ulvo" / "models";
}

std::filesystem::path downloadDestination(const RuntimeConfig& config) {
    return userModelsFolder() / std::filesystem::path(config.model).filename();
}

std::optional<std::filesystem::path> findModelFile(const std::filesystem::path& runtimeRoot,
                                                   const RuntimeConfig& config) {
    std::error_code ignored;
    for (const std::filesystem::path& candidate : {downloadDestination(config), runtimeRoot / config.model}) {
        if (std::filesystem::is_regular_file(candidate, ignored)) {
            return std::filesystem::absolute(candidate);
        }
    }
    return std::nullopt;
}

} // namespace ulvo
