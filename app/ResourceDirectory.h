#pragma once

#include <filesystem>
#include <optional>

namespace ulvo {

// <prefix>/share/ulvo beside the running executable's bin/ (see InstallLayout); absent when the
// directory does not exist.
std::optional<std::filesystem::path> resourceDirectory();

} // namespace ulvo
