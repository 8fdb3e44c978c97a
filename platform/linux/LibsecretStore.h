#pragma once

#include "settings/SecretStore.h"

#include <libsecret/secret.h>

#include <optional>
#include <string>

namespace ulvo {

// Secrets in the Secret Service keyring through libsecret's blocking calls, one item per
// (service, account) pair. Items are found by their attributes alone, whatever schema name they carry.
class LibsecretStore : public SecretStore {
public:
    static constexpr const char* schemaName = "com.zvk.ULVO.api-keys";

    LibsecretStore();

    // A stored value that is not UTF-8 is a failure, never a key.
    Result<std::optional<std::string>> read(const std::string& service,
                                            const std::string& account) const override;
    // Replaces the secret of every matching item, wherever it lives, so no stale copy stays readable;
    // with none, stores a new item in the default collection.
    Result<void> write(const std::string& service, const std::string& account,
                       const std::string& secret) override;
    Result<void> remove(const std::string& service, const std::string& account) override;

private:
    SecretSchema schema_{};
};

} // namespace ulvo
