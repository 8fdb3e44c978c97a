#include "server/ComputeDevice.h"

#include "base/UserFolders.h"

#include <fstream>
#include <sstream>
#include <system_error>

namespace ulvo {

namespace {

// The same ladder the loadable CPU backends are built for; the loader picks the best that runs.
std::string instructionSet() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        return "AVX-512";
    }
    if (__builtin_cpu_supports("avx2")) {
        return "AVX2";
    }
    if (__builtin_cpu_supports("avx")) {
        return "AVX";
    }
    if (__builtin_cpu_supports("sse4.2")) {
        return "SSE4.2";
    }
    return "x86-64";
#else
    return "";
#endif
}

std::string trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t\r");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

} // namespace

ComputeDevice ComputeDevice::cpu() {
    const std::string set = instructionSet();
    return {false, set.empty() ? std::string("CPU") : "CPU (" + set + ")"};
}

std::optional<ComputeDevice> ComputeDevice::firstListed(const std::string& listing) {
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        // "  Vulkan0: AMD Radeon RX 6600 (RADV NAVI23) (8176 MiB, 7900 MiB free)"
        line = trimmed(line);
        const auto colon = line.find(": ");
        if (colon == std::string::npos || line.rfind("Available devices", 0) == 0) {
            continue;
        }
        std::string backend = line.substr(0, colon);
        while (!backend.empty() && backend.back() >= '0' && backend.back() <= '9') {
            backend.pop_back();
        }
        std::string name = line.substr(colon + 2);
        if (const auto memory = name.rfind(" ("); memory != std::string::npos && name.ends_with("free)")) {
            name.erase(memory);
        }
        if (backend.empty() || name.empty()) {
            continue;
        }
        return ComputeDevice{true, backend + ": " + trimmed(name)};
    }
    return std::nullopt;
}

std::filesystem::path ComputeDevice::recordPath() {
    return userCacheHome() / "ulvo" / "model-device";
}

std::optional<std::string> ComputeDevice::readRecord() {
    std::ifstream file(recordPath());
    std::string line;
    if (!std::getline(file, line) || trimmed(line).empty()) {
        return std::nullopt;
    }
    return trimmed(line);
}

void ComputeDevice::writeRecord() const {
    const std::filesystem::path path = recordPath();
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    // Renamed into place, so a reader never sees half a line.
    const std::filesystem::path part = path.string() + ".part";
    {
        std::ofstream file(part, std::ios::trunc);
        file << label << '\n';
        if (!file) {
            return;
        }
    }
    std::filesystem::rename(part, path, ignored);
}

} // namespace ulvo
