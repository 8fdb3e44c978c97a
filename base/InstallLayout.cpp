#include "base/InstallLayout.h"

namespace ulvo {

std::optional<InstallLayout> InstallLayout::ofRunningProgram() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return ofExecutable(executable);
}

InstallLayout InstallLayout::ofExecutable(const std::filesystem::path& executable) {
    return {executable.parent_path().parent_path()};
}

} // namespace ulvo
