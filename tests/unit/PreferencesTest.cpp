// The key store over an in-memory keyring; which provider a stored connection loads as is the settings
// store's test, against the real key file and keyring.
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"
#include "tests/support/FakeStores.h"

#include <gtest/gtest.h>

namespace ulvo {
namespace {

TEST(PreferencesTest, AConnectionIsSavedInOneWrite) {
    test::MemoryPreferenceStore prefs;
    EXPECT_TRUE((ModelPreferences{ModelProvider::groq, "https://proxy.test/v1", "m"}.save(prefs)));
    EXPECT_EQ(prefs.writes, 1) << "a crash between writes would leave half a connection";
    EXPECT_EQ(prefs.string(ModelPreferences::baseURLKey), "https://proxy.test/v1");
}

TEST(PreferencesTest, SavingAKeyWritesAndEmptyDeletesAndRefusalsCarryTheStoreCode) {
    test::MemorySecretStore secrets;
    APIKeyStore keys(secrets);
    EXPECT_TRUE(keys.save("one", ModelProvider::xAI));
    EXPECT_EQ(keys.read(ModelProvider::xAI), "one");
    EXPECT_TRUE(keys.save("", ModelProvider::xAI));
    EXPECT_EQ(*secrets.read(APIKeyStore::service, "xAI"), std::nullopt) << "an empty key is deleted";
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
