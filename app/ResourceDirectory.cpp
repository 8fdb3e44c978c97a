#include "app/ResourceDirectory.h"
#include "base/InstallLayout.h"

namespace ulvo {

std::optional<std::filesystem::path> resourceDirectory() {
    const std::optional<InstallLayout> layout = InstallLayout::ofRunningProgram();
    std::error_code error;
    if (!layout || !std::filesystem::is_directory(layout->resources(), error)) {
        return std::nullopt;
    }
    return std::filesystem::canonical(layout->resources(), error);
}

} // namespace ulvo
