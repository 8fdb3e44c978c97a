#pragma once

#include "base/Result.h"
#include "base/StopFlag.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ulvo {

using Environment = std::vector<std::pair<std::string, std::string>>;

struct LaunchRequest {
    std::filesystem::path executable;
    std::vector<std::string> arguments;     // without the executable's own name
    std::optional<Environment> environment; // the whole environment; absent inherits ours
    std::optional<std::filesystem::path> workingDirectory;
    // For run(): once raised, the child is ended and gives nothing.
    StopFlag stop;
};

// A launched child that is never stopped by us; it may outlive this process.
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    virtual bool isRunning() = 0;
    virtual int pid() const = 0;
};

struct ProcessOutput {
    int exitStatus = -1; // -1 when the child did not exit normally
    std::string standardOutput;
};

// Child processes and the facts about this machine they need.
class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    // Starts a detached child with its output discarded; a failed start carries the system's code.
    virtual Result<std::unique_ptr<ChildProcess>> launch(const LaunchRequest& request) = 0;
    // Runs a child to its end, reading its standard output as it runs (standard error is discarded).
    // A child still running at the limit (or when stopped) is killed and is a failure; so is a failed start.
    virtual Result<ProcessOutput> run(const LaunchRequest& request, std::chrono::milliseconds limit) = 0;
    virtual Environment currentEnvironment() const = 0;
    // The machine name of uname(2), such as x86_64.
    virtual std::string machine() const = 0;
    virtual bool isExecutableFile(const std::filesystem::path& path) const = 0;
};

} // namespace ulvo
