#pragma once

#include "settings/ModelProvider.h"
#include "settings/SecretStore.h"

#include <string>

namespace ulvo {

// Per-provider API keys, one secret item each, stored byte for byte.
class APIKeyStore {
public:
    static constexpr const char* service = "com.zvk.ULVO.api-keys";

    explicit APIKeyStore(SecretStore& store)
        : store_(store) {}

    // The empty string stands for a missing key and for any failure to read one.
    std::string read(ModelProvider provider) const;
    // An empty key deletes the item; the store's refusal comes back as the failure.
    Result<void> save(const std::string& key, ModelProvider provider);

private:
    SecretStore& store_;
};

} // namespace ulvo
