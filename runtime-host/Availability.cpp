#include "runtime-host/Availability.h"

#include "model/RuntimeConfig.h"
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"

namespace ulvo::host {

Availability checkAvailability(const PreferenceStore& preferences, SecretStore& secrets,
                               const std::optional<std::filesystem::path>& runtimeRoot) {
    const APIKeyStore keys(secrets);
    const ModelPreferences connection = ModelPreferences::load(preferences, keys);
    Availability availability;
    availability.provider = std::string(rawValue(connection.provider));
    availability.providerName = std::string(label(connection.provider));
    if (connection.provider != ModelProvider::local) {
        availability.available = true;
        return availability;
    }
    // The same texts the local answer path would give.
    if (!runtimeRoot) {
        availability.error = "The built-in local model is missing.";
        return availability;
    }
    try {
        const RuntimeConfig config = RuntimeConfig::load(*runtimeRoot);
        std::error_code ignored;
        availability.available =
            std::filesystem::is_regular_file(*runtimeRoot / config.llamaServer, ignored) &&
            std::filesystem::is_regular_file(*runtimeRoot / config.model, ignored);
        if (!availability.available) {
            availability.error = "The built-in local model is incomplete.";
        }
    } catch (const std::exception& error) {
        availability.error = error.what();
    }
    return availability;
}

} // namespace ulvo::host
