#pragma once

#include "server/LocalServer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace ulvo::bench {

// "CPU model, N cores", for the figures' machine line.
inline std::string machineDescription() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string model = "unknown CPU";
    const std::string key = "model name";
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.compare(0, key.size(), key) == 0) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                model = line.substr(line.find_first_not_of(" \t", colon + 1));
            }
            break;
        }
    }
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores";
}

// The q-quantile (0..1) of the samples, nearest rank.
inline double quantile(std::vector<double> samples, double q) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(rank, samples.size() - 1)];
}

// The built-in server's key in the benchmarks.
constexpr const char* benchKey = "bench-key";

// The built-in server's options for a scratch runtime: English answers, the benchmarks' key.
inline LocalServer::Options localServerOptions(const std::filesystem::path& root,
                                               std::shared_ptr<HttpTransport> transport,
                                               std::shared_ptr<ProcessLauncher> launcher) {
    LocalServer::Options options;
    options.runtimeRoot = root;
    options.transport = std::move(transport);
    options.launcher = std::move(launcher);
    options.responseLanguage = [] { return std::string("en-US"); };
    options.key = [] { return std::string(benchKey); };
    return options;
}

// A runtime directory of the staged layout in a scratch folder: the staged server and its libraries,
// the model as models/<name>.gguf, and its config.
inline std::filesystem::path scratchRuntime(const std::string& name, const std::filesystem::path& stage,
                                            const std::filesystem::path& model) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("ulvo-" + name + "-" + std::to_string(::getpid()));
    fs::create_directories(root / "models");
    fs::create_symlink(stage / "llama-server", root / "llama-server");
    fs::create_directory_symlink(stage / "lib", root / "lib");
    fs::create_symlink(model, root / "models" / (name + ".gguf"));
    std::ofstream(root / "runtime-config.json") << R"({"llamaServer":"llama-server","model":"models/)" << name
                                                << R"(.gguf","modelAlias":"bench","contextSize":2048})";
    return root;
}

} // namespace ulvo::bench
