#pragma once

#include "browser-host/HostProtocol.h"
#include "settings/PreferenceStore.h"
#include "settings/SecretStore.h"

#include <filesystem>
#include <optional>

namespace ulvo::host {

// Whether the configured provider can be asked: a cloud provider with its key always can (the answer
// tells the rest); the built-in model needs its runtime configuration, server program and model file.
Availability checkAvailability(const PreferenceStore& preferences, SecretStore& secrets,
                               const std::optional<std::filesystem::path>& runtimeRoot);

} // namespace ulvo::host
