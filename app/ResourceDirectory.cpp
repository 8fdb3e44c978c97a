#include "app/ResourceDirectory.h"
#include "model/InstallLayout.h"

namespace ulvo {

std::optional<std::filesystem::path> resourceDirectoryFor(const std::filesystem::path& executable) {
    std::error_code error;
    const std::filesystem::path candidate = InstallLayout::ofExecutable(executable).resources();
    if (!std::filesystem::is_directory(candidate, error)) {
        return std::nullopt;
    }
    return std::filesystem::canonical(candidate, error);
}

std::optional<std::filesystem::path> resourceDirectory() {
    const std::optional<InstallLayout> layout = InstallLayout::ofRunningProgram();
    if (!layout) {
        return std::nullopt;
    }
    return resourceDirectoryFor(layout->programs() / "ulvo");
}

} // namespace ulvo
