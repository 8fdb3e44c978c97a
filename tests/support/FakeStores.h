#pragma once

#include "settings/PreferenceStore.h"
#include "settings/SecretStore.h"

#include <future>
#include <map>
#include <mutex>

namespace ulvo::test {

// In-memory stores for tests of the logic; safe to read from the model queue while a test writes.
class MemoryPreferenceStore final : public PreferenceStore {
public:
    std::optional<std::string> string(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        const auto found = values_.find(key);
        return found == values_.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    bool setStrings(const std::vector<std::pair<std::string, std::string>>& entries) override {
        std::lock_guard lock(mutex_);
        ++writes;
        if (refuseWrites) {
            return false;
        }
        for (const auto& [key, value] : entries) {
            values_[key] = value;
        }
        return true;
    }

    bool refuseWrites = false;
    int writes = 0;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> values_;
};

class MemorySecretStore final : public SecretStore {
public:
    Result<std::optional<std::string>> read(const std::string& service,
                                            const std::string& account) const override {
        waitForRelease();
        std::lock_guard lock(mutex_);
        const auto found = items_.find({service, account});
        return found == items_.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    Result<void> write(const std::string& service, const std::string& account,
                       const std::string& secret) override {
        waitForRelease();
        std::lock_guard lock(mutex_);
        if (refusal) {
            return *refusal;
        }
        items_[{service, account}] = secret;
        return {};
    }
    Result<void> remove(const std::string& service, const std::string& account) override {
        waitForRelease();
        std::lock_guard lock(mutex_);
        items_.erase({service, account});
        return {};
    }

    std::optional<Failure> refusal; // set: every write answers it
    // Set: every call waits for it, as a keyring waiting for its unlock prompt does.
    std::optional<std::shared_future<void>> released;

private:
    void waitForRelease() const {
        if (released) {
            released->wait();
        }
    }
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> items_;
};

} // namespace ulvo::test
