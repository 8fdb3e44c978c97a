#include "settings/APIKeyStore.h"

namespace ulvo {

std::string APIKeyStore::read(ModelProvider provider) const {
    return store_.read(service, std::string(rawValue(provider))).value_or("");
}

void APIKeyStore::save(const std::string& key, ModelProvider provider) {
    const std::string account(rawValue(provider));
    if (key.empty()) {
        store_.remove(service, account);
        return;
    }
    SecretStore::Outcome outcome = store_.update(service, account, key);
    if (outcome.status == SecretStore::Status::itemNotFound) {
        outcome = store_.add(service, account, key);
    }
    if (outcome.status != SecretStore::Status::success) {
        throw KeyStoreError(outcome.code,
                            outcome.message.empty() ? "The key store refused the key." : outcome.message);
    }
}

} // namespace ulvo
