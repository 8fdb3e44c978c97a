#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace ulvo {
namespace {

class MemoryPreferences : public PreferenceStore {
public:
    std::optional<std::string> string(const std::string& key) const override {
        auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    bool setStrings(const std::vector<std::pair<std::string, std::string>>& entries) override {
        ++writes;
        for (const auto& [key, value] : entries) {
            values.insert_or_assign(key, value);
        }
        return true;
    }
    std::map<std::string, std::string> values;
    int writes = 0;
};

// Records the calls; `refusal`, when set, answers every write.
class MemorySecrets : public SecretStore {
public:
    Result<std::optional<std::string>> read(const std::string&, const std::string& account) const override {
        auto found = items.find(account);
        return found == items.end() ? std::nullopt : std::optional(found->second);
    }
    Result<void> write(const std::string&, const std::string& account, const std::string& secret) override {
        calls.push_back("write");
        if (refusal) {
            return *refusal;
        }
        items[account] = secret;
        return {};
    }
    Result<void> remove(const std::string&, const std::string& account) override {
        calls.push_back("remove");
        items.erase(account);
        return {};
    }
    std::map<std::string, std::string> items;
    std::vector<std::string> calls;
    std::optional<Failure> refusal;
};

TEST(PreferencesTest, CloudProviderWithoutKeyFallsBackToLocalDefaults) {
    MemoryPreferences prefs;
    MemorySecrets secrets;
    APIKeyStore keys(secrets);
    EXPECT_TRUE((ModelPreferences{ModelProvider::groq, "https://proxy.test/v1", "m"}.save(prefs)));
    EXPECT_EQ(prefs.writes, 1);

    const ProviderDefaults local = defaults(ModelProvider::local);
    EXPECT_EQ(ModelPreferences::load(prefs, keys),
              (ModelPreferences{ModelProvider::local, local.baseURL, local.model}));
    secrets.items["groq"] = "gsk";
    EXPECT_EQ(ModelPreferences::load(prefs, keys),
              (ModelPreferences{ModelProvider::groq, "https://proxy.test/v1", "m"}));
}

TEST(PreferencesTest, SavingAKeyWritesAndEmptyDeletesAndRefusalsCarryTheStoreCode) {
    MemorySecrets secrets;
    APIKeyStore keys(secrets);
    EXPECT_TRUE(keys.save("one", ModelProvider::xAI));
    EXPECT_EQ(keys.read(ModelProvider::xAI), "one");
    EXPECT_TRUE(keys.save("", ModelProvider::xAI));
    EXPECT_EQ(secrets.calls, (std::vector<std::string>{"write", "remove"}));
    EXPECT_EQ(keys.read(ModelProvider::xAI), "");

    secrets.refusal = Failure{"locked", 36};
    const Result<void> refused = keys.save("k", ModelProvider::openAI);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.failure().code, 36);
    EXPECT_EQ(refused.failure().message, "locked");
    secrets.refusal->message.clear();
    const Result<void> silent = keys.save("k", ModelProvider::openAI);
    ASSERT_FALSE(silent) << "a failure without a message";
    EXPECT_EQ(silent.failure().message, "The key store refused the key.");
}

} // namespace
} // namespace ulvo
