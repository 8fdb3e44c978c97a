#pragma once

#include "settings/APIKeyStore.h"
#include "settings/ModelProvider.h"
#include "settings/PreferenceStore.h"

#include <string>

namespace ulvo {

// The user's chosen connection.
struct ModelPreferences {
    static constexpr const char* providerKey = "modelProvider";
    static constexpr const char* baseURLKey = "modelBaseURL";
    static constexpr const char* modelKey = "modelName";

    ModelProvider provider = ModelProvider::local;
    std::string baseURL;
    std::string model;

    // Never fails. A cloud provider without a stored key reads as the built-in local provider.
    static ModelPreferences load(const PreferenceStore& store, const APIKeyStore& keys);
    // False when the store could not write them.
    [[nodiscard]] bool save(PreferenceStore& store) const;

    bool operator==(const ModelPreferences&) const = default;
};

} // namespace ulvo
