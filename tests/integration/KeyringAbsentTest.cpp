// The keyring adapter when no session bus answers; ctest points DBUS_SESSION_BUS_ADDRESS at a dead socket.
#include "platform/linux/LibsecretStore.h"
#include "settings/APIKeyStore.h"

#include <gtest/gtest.h>

namespace ulvo {
namespace {

TEST(KeyringAbsentTest, ReadsGiveNothingAndSavesFail) {
    LibsecretStore secrets;
    APIKeyStore keys(secrets);
    EXPECT_EQ(keys.read(ModelProvider::groq), "");
    EXPECT_FALSE(secrets.read(APIKeyStore::service, "groq").ok());
    const Result<void> saved = keys.save("gsk", ModelProvider::groq);
    ASSERT_FALSE(saved) << "saving without a keyring succeeded";
    EXPECT_NE(saved.failure().code, 0);
    EXPECT_NE(saved.failure().message, "");
    EXPECT_TRUE(keys.save("", ModelProvider::groq));
}

} // namespace
} // namespace ulvo
