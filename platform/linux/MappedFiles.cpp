#include "platform/linux/MappedFiles.h"

#include <sys/mman.h>

#include <cstdint>
#include <fstream>
#include <sstream>

namespace ulvo {

namespace {

struct Mapping {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    std::string path; // empty for anonymous memory; "[heap]" and the like for the kernel's own
};

template <typename Visit> void forEachMapping(const Visit& visit) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range;
        std::string permissions;
        std::string offset;
        std::string device;
        std::string inode;
        Mapping mapping;
        fields >> range >> permissions >> offset >> device >> inode;
        std::getline(fields >> std::ws, mapping.path);
        const std::size_t dash = range.find('-');
        if (dash == std::string::npos) {
            continue;
        }
        mapping.start = std::stoull(range.substr(0, dash), nullptr, 16);
        mapping.end = std::stoull(range.substr(dash + 1), nullptr, 16);
        visit(mapping);
    }
}

bool isFile(const Mapping& mapping) {
    return !mapping.path.empty() && mapping.path.front() == '/';
}

} // namespace

std::set<std::string> mappedFiles() {
    std::set<std::string> files;
    forEachMapping([&files](const Mapping& mapping) {
        if (isFile(mapping)) {
            files.insert(mapping.path);
        }
    });
    return files;
}

std::size_t pageOutFilesExcept(const std::set<std::string>& kept) {
#ifdef MADV_PAGEOUT
    std::size_t advised = 0;
    forEachMapping([&](const Mapping& mapping) {
        if (isFile(mapping) && kept.count(mapping.path) == 0 &&
            ::madvise(reinterpret_cast<void*>(mapping.start), mapping.end - mapping.start, MADV_PAGEOUT) ==
                0) {
            advised += mapping.end - mapping.start;
        }
    });
    return advised;
#else
    static_cast<void>(kept);
    return 0;
#endif
}

} // namespace ulvo
