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
    std::optional<std::string> read(const std::string&, const std::string& account) const override {
        auto found = items.find(account);
        return found == items.end() ? std::nullopt : std::optional(found->second);
    }
    Outcome update(const std::string&, const std::string& account, const std::string& secret) override {
        calls.push_back("update");
        if (refusal) {
            return *refusal;
        }
        if (!items.contains(account)) {
            return {Status::itemNotFound, -25300, {}};
        }
        items[account] = secret;
        return {};
    }
    Outcome add(const std::string&, const std::string& account, const std::string& secret) override {
        calls.push_back("add");
        items[account] = secret;
        return {};
    }
    void remove(const std::string&, const std::string& account) override {
        calls.push_back("remove");
        items.erase(account);
    }
    std::map<std::string, std::string> items;
    std::vector<std::string> calls;
    std::optional<Outcome> refusal;
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

TEST(PreferencesTest, SavingAKeyUpdatesThenAddsAndEmptyDeletes) {
    MemorySecrets secrets;
    APIKeyStore keys(secrets);
    keys.save("one", ModelProvider::xAI);
    keys.save("two", ModelProvider::xAI);
    keys.save("", ModelProvider::xAI);
    EXPECT_EQ(secrets.calls, (std::vector<std::string>{"update", "add", "update", "remove"}));
    EXPECT_EQ(keys.read(ModelProvider::xAI), "");
}

TEST(PreferencesTest, RefusedKeysThrowWithTheStoreCode) {
    MemorySecrets secrets;
    APIKeyStore keys(secrets);
    secrets.refusal = SecretStore::Outcome{SecretStore::Status::failure, 36, "locked"};
    try {
        keys.save("k", ModelProvider::openAI);
        FAIL() << "no error";
    } catch (const KeyStoreError& error) {
        EXPECT_EQ(error.code(), 36);
        EXPECT_STREQ(error.what(), "locked");
    }
    secrets.refusal->message.clear();
    EXPECT_THROW(keys.save("k", ModelProvider::openAI), KeyStoreError) << "a failure without a message";
    EXPECT_EQ(secrets.calls, (std::vector<std::string>{"update", "update"}));
}

} // namespace
} // namespace ulvo
