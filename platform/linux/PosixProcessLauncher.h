#pragma once

#include "base/ProcessLauncher.h"

namespace ulvo {

// Child processes through posix_spawn: no shell, exact argument lists, no inherited descriptors.
class PosixProcessLauncher final : public ProcessLauncher {
public:
    Result<std::unique_ptr<ChildProcess>> launch(const LaunchRequest& request) override;
    Result<ProcessOutput> run(const LaunchRequest& request, std::chrono::milliseconds limit) override;
    Environment currentEnvironment() const override;
    std::string machine() const override;
    bool isExecutableFile(const std::filesystem::path& path) const override;
};

} // namespace ulvo
