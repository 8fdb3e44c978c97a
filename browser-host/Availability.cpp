#include "browser-host/Availability.h"

#include "server/LocalRuntime.h"
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
    const LocalRuntime runtime = inspectLocalRuntime(runtimeRoot);
    availability.available = runtime.ready();
    switch (runtime.state) {
    case LocalRuntime::State::missing:
        availability.error = "The built-in local model is missing.";
        break;
    case LocalRuntime::State::unreadable:
        availability.error = runtime.problem;
        break;
    case LocalRuntime::State::serverMissing:
    case LocalRuntime::State::modelMissing:
        availability.error = "The built-in local model is incomplete.";
        break;
    case LocalRuntime::State::ready:
        break;
    }
    return availability;
}

} // namespace ulvo::host
