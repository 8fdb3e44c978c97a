#include "server/LocalRuntime.h"

#include "base/Files.h"
#include "server/ModelFiles.h"

#include <new>

namespace ulvo {

LocalRuntime inspectLocalRuntime(const std::optional<std::filesystem::path>& runtimeRoot) {
    LocalRuntime runtime;
    if (!runtimeRoot) {
        return runtime;
    }
    try {
        runtime.config = RuntimeConfig::load(*runtimeRoot);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        runtime.state = LocalRuntime::State::unreadable;
        runtime.problem = error.what();
        return runtime;
    }
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
