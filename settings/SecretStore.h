#pragma once

#include "base/Result.h"

#include <optional>
#include <string>

namespace ulvo {

// One secret per (service, account) pair; a missing item is an empty value, not a failure.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    virtual Result<std::optional<std::string>> read(const std::string& service,
                                                    const std::string& account) const = 0;
    // Creates the item, or replaces the secret of every item stored for the pair.
    virtual Result<void> write(const std::string& service, const std::string& account,
                               const std::string& secret) = 0;
    // Nothing stored for the pair is not a failure.
    virtual Result<void> remove(const std::string& service, const std::string& account) = 0;
};

} // namespace ulvo
