#include "settings/APIKeyStore.h"

namespace ulvo {

std::string APIKeyStore::read(ModelProvider provider) const {
    return store_.read(service, std::string(rawValue(provider))).valueOr(std::nullopt).value_or("");
}

Result<void> APIKeyStore::save(const std::string& key, ModelProvider provider) {
    const std::string account(rawValue(provider));
    if (key.empty()) {
        // A keyring that cannot be reached holds no key ULVO could read either.
        (void)store_.remove(service, account);
        return {};
    }
    Result<void> written = store_.write(service, account, key);
    if (!written && written.failure().message.empty()) {
        return Failure{"The key store refused the key.", written.failure().code};
    }
    return written;
}

} // namespace ulvo
