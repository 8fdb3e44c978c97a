#include "settings/ModelPreferences.h"

namespace ulvo {

namespace {

ModelPreferences withStoredOverrides(ModelProvider provider, const PreferenceStore& store) {
    ProviderDefaults fallback = defaults(provider);
    return {provider, store.string(ModelPreferences::baseURLKey).value_or(fallback.baseURL),
            store.string(ModelPreferences::modelKey).value_or(fallback.model)};
}

} // namespace

ModelPreferences ModelPreferences::load(const PreferenceStore& store, const APIKeyStore& keys) {
    const std::optional<ModelProvider> stored =
        providerFromRawValue(store.string(providerKey).value_or(std::string(rawValue(ModelProvider::local))));
    if (!stored || *stored == ModelProvider::local) {
        return withStoredOverrides(ModelProvider::local, store);
    }
    if (keys.read(*stored).empty()) {
        ProviderDefaults local = defaults(ModelProvider::local);
        return {ModelProvider::local, local.baseURL, local.model};
    }
    return withStoredOverrides(*stored, store);
}

bool ModelPreferences::save(PreferenceStore& store) const {
    return store.setStrings(
        {{providerKey, std::string(rawValue(provider))}, {baseURLKey, baseURL}, {modelKey, model}});
}

} // namespace ulvo
