#pragma once

#include <filesystem>

namespace ulvo {

// Whether the path names a regular file (links followed) that this process may execute.
bool isExecutableFile(const std::filesystem::path& path);

} // namespace ulvo
