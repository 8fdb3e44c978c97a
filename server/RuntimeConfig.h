#pragma once

#include "base/Result.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace ulvo {

// The built-in runtime's layout, read from runtime-config.json in the runtime directory.
// Paths are relative to that directory.
struct RuntimeConfig {
    static constexpr const char* fileName = "runtime-config.json";

    std::string llamaServer;
    std::string model;
    std::string modelAlias;
    std::int64_t contextSize = 0;
    std::optional<std::string> appleFoundationRuntime;

    // Fails with the JSON library's words for text that is not JSON, lacks a required key or has a
    // wrong type.
    static Result<RuntimeConfig> decode(const std::string& json);
    // Reads and decodes runtimeRoot/runtime-config.json; a read error fails with the system's reason.
    static Result<RuntimeConfig> load(const std::filesystem::path& runtimeRoot);
};

} // namespace ulvo
