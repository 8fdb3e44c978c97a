#pragma once

#include <fstream>
#include <string>

namespace ulvo::test {

// Resident memory of this process in kB, as the kernel counts it (VmRSS); 0 when unreadable.
inline long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

} // namespace ulvo::test
