#include "app/ResourceDirectory.h"

namespace ulvo {

std::optional<std::filesystem::path> resourceDirectoryFor(const std::filesystem::path& executable) {
    std::error_code error;
    const std::filesystem::path candidate = executable.parent_path().parent_path() / "share" / "ulvo";
    if (!std::filesystem::is_directory(candidate, error)) {
        return std::nullopt;
    }
    return std::filesystem::canonical(candidate, error);
}

std::optional<std::filesystem::path> resourceDirectory() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return resourceDirectoryFor(executable);
}

} // namespace ulvo
