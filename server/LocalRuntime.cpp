#include "server/LocalRuntime.h"

#include "base/Files.h"
#include "server/ModelFiles.h"

#include <utility>

namespace ulvo {

LocalRuntime inspectLocalRuntime(const std::optional<std::filesystem::path>& runtimeRoot) {
    LocalRuntime runtime;
    if (!runtimeRoot) {
        return runtime;
    }
    Result<RuntimeConfig> config = RuntimeConfig::load(*runtimeRoot);
    if (!config) {
        runtime.state = LocalRuntime::State::unreadable;
        runtime.problem = config.failure().message;
        return runtime;
    }
    runtime.config = std::move(config).value();
    runtime.server = *runtimeRoot / runtime.config.llamaServer;
    if (!isExecutableFile(runtime.server)) {
        runtime.state = LocalRuntime::State::serverMissing;
        return runtime;
    }
    runtime.model = findModelFile(*runtimeRoot, runtime.config);
    runtime.state = runtime.model ? LocalRuntime::State::ready : LocalRuntime::State::modelMissing;
    return runtime;
}

} // namespace ulvo
