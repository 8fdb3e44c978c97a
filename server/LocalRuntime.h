#pragma once

#include "server/RuntimeConfig.h"

#include <filesystem>
#include <optional>
#include <string>

namespace ulvo {

// What the built-in runtime directory holds, judged one way for Settings, the browser host and the
// server's start: its runtime-config.json read, llama-server executable, a model file found (the
// user's download first, then one shipped in the directory).
struct LocalRuntime {
    enum class State { missing, unreadable, serverMissing, modelMissing, ready };
    State state = State::missing;
    std::string problem; // unreadable: why
    RuntimeConfig config;
    std::filesystem::path server;
    std::optional<std::filesystem::path> model;

    bool ready() const { return state == State::ready; }
};

LocalRuntime inspectLocalRuntime(const std::optional<std::filesystem::path>& runtimeRoot);

} // namespace ulvo
