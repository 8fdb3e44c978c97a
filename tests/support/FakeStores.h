#pragma once

#include "settings/PreferenceStore.h"
#include "settings/SecretStore.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

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
        if (refuseWrites) {
            return false;
        }
        for (const auto& [key, value] : entries) {
            values_[key] = value;
        }
        return true;
    }

    bool refuseWrites = false;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> values_;
};

class MemorySecretStore final : public SecretStore {
public:
    std::optional<std::string> read(const std::string& service, const std::string& account) const override {
        std::lock_guard lock(mutex_);
        const auto found = items_.find({service, account});
        return found == items_.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    Outcome update(const std::string& service, const std::string& account,
                   const std::string& secret) override {
        std::lock_guard lock(mutex_);
        calls.emplace_back("update");
        if (refuseWrites) {
            return {Status::failure, refusalCode, refusalMessage};
        }
        const auto found = items_.find({service, account});
        if (found == items_.end()) {
            return {Status::itemNotFound, 0, {}};
        }
        found->second = secret;
        return {};
    }
    Outcome add(const std::string& service, const std::string& account, const std::string& secret) override {
        std::lock_guard lock(mutex_);
        calls.emplace_back("add");
        if (refuseWrites) {
            return {Status::failure, refusalCode, refusalMessage};
        }
        items_[{service, account}] = secret;
        return {};
    }
    void remove(const std::string& service, const std::string& account) override {
        std::lock_guard lock(mutex_);
        calls.emplace_back("remove");
        items_.erase({service, account});
    }

    bool refuseWrites = false;
    int refusalCode = -1;
    std::string refusalMessage = "refused";
    std::vector<std::string> calls; // the writes asked for, in order

private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> items_;
};

} // namespace ulvo::test
