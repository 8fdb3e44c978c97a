#pragma once

#include "platform/linux/LibsecretStore.h"

#include <string>

namespace ulvo::test {

// The session's real keyring, with this test's items under a service of its own, so tests that run
// at the same time in one session never meet.
class ScopedKeyring final : public SecretStore {
public:
    explicit ScopedKeyring(std::string scope)
        : scope_(std::move(scope)) {}
    Result<std::optional<std::string>> read(const std::string& service,
                                            const std::string& account) const override {
        return real.read(scoped(service), account);
    }
    Result<void> write(const std::string& service, const std::string& account,
                       const std::string& secret) override {
        return real.write(scoped(service), account, secret);
    }
    Result<void> remove(const std::string& service, const std::string& account) override {
        return real.remove(scoped(service), account);
    }
    std::string scoped(const std::string& service) const { return service + "/" + scope_; }

    LibsecretStore real;

private:
    std::string scope_;
};

} // namespace ulvo::test
