#pragma once

#include "server/RuntimeConfig.h"

#include <filesystem>
#include <optional>

namespace ulvo {

// Where this user's models live: $XDG_DATA_HOME/ulvo/models, by default ~/.local/share/ulvo/models.
// An installed, read-only program works for every user without root.
std::filesystem::path userModelsFolder();

// The file runtime-config.json's "model" names: looked up in the user's folder first (by its file
// name), then in the runtime directory. Absent when neither has it.
std::optional<std::filesystem::path> findModelFile(const std::filesystem::path& runtimeRoot,
                                                   const RuntimeConfig& config);

// Where a download of that model goes.
std::filesystem::path downloadDestination(const RuntimeConfig& config);

} // namespace ulvo
