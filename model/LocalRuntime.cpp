#include "model/LocalRuntime.h"

#include "model/ModelCatalogue.h"

#include <new>
#include <unistd.h>

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
    std::error_code error;
    if (!std::filesystem::is_regular_file(runtime.server, error) ||
        access(runtime.server.c_str(), X_OK) != 0) {
        runtime.state = LocalRuntime::State::serverMissing;
        return runtime;
    }
    runtime.model = findModelFile(*runtimeRoot, runtime.config);
    runtime.state = runtime.model ? LocalRuntime::State::ready : LocalRuntime::State::modelMissing;
    return runtime;
}

} // namespace ulvo
