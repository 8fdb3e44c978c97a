#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"
#include "tests/support/FakeStores.h"

#include <gtest/gtest.h>

namespace ulvo {
namespace {

TEST(PreferencesTest, CloudProviderWithoutKeyFallsBackToLocalDefaults) {
    test::MemoryPreferenceStore prefs;
    test::MemorySecretStore secrets;
    APIKeyStore keys(secrets);
    EXPECT_TRUE((ModelPreferences{ModelProvider::groq, "https://proxy.test/v1", "m"}.save(prefs)));

    const ProviderDefaults local = defaults(ModelProvider::local);
    EXPECT_EQ(ModelPreferences::load(prefs, keys),
              (ModelPreferences{ModelProvider::local, local.baseURL, local.model}));
    secrets.add(APIKeyStore::service, "groq", "gsk");
    EXPECT_EQ(ModelPreferences::load(prefs, keys),
              (ModelPreferences{ModelProvider::groq, "https://proxy.test/v1", "m"}));
}

TEST(PreferencesTest, SavingAKeyUpdatesThenAddsAndEmptyDeletes) {
    test::MemorySecretStore secrets;
    APIKeyStore keys(secrets);
    keys.save("one", ModelProvider::xAI);
    keys.save("two", ModelProvider::xAI);
    keys.save("", ModelProvider::xAI);
    EXPECT_EQ(secrets.calls, (std::vector<std::string>{"update", "add", "update", "remove"}));
    EXPECT_EQ(keys.read(ModelProvider::xAI), "");
}

TEST(PreferencesTest, RefusedKeysThrowWithTheStoreCode) {
    test::MemorySecretStore secrets;
    APIKeyStore keys(secrets);
    secrets.refuseWrites = true;
    secrets.refusalCode = 36;
    secrets.refusalMessage = "locked";
    try {
        keys.save("k", ModelProvider::openAI);
        FAIL() << "no error";
    } catch (const KeyStoreError& error) {
        EXPECT_EQ(error.code(), 36);
        EXPECT_STREQ(error.what(), "locked");
    }
    secrets.refusalMessage.clear();
    EXPECT_THROW(keys.save("k", ModelProvider::openAI), KeyStoreError) << "a failure without a message";
    EXPECT_EQ(secrets.calls, (std::vector<std::string>{"update", "update"}));
}

} // namespace
} // namespace ulvo
