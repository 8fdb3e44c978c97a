#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace ulvo {

// The files this process has mapped now (shared libraries and data files), from /proc/self/maps.
std::set<std::string> mappedFiles();

// Asks the kernel to drop the resident pages of every file mapping whose file is not in `kept`
// (MADV_PAGEOUT): what a waiting program loaded for a window it no longer shows. Clean pages go at once
// and come back from the page cache when touched again. Returns the bytes advised; 0 where the kernel
// has no such advice.
std::size_t pageOutFilesExcept(const std::set<std::string>& kept);

} // namespace ulvo
