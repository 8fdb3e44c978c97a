// The keyring adapter when no session bus answers; ctest points DBUS_SESSION_BUS_ADDRESS at a dead socket.
#include "platform/linux/LibsecretStore.h"
#include "settings/APIKeyStore.h"

#include <gtest/gtest.h>

namespace ulvo {
namespace {

TEST(KeyringAbsentTest, ReadsGiveNothingAndSavesThrow) {
    LibsecretStore secrets;
    APIKeyStore keys(secrets);
    EXPECT_EQ(keys.read(ModelProvider::groq), "");
    try {
        keys.save("gsk", ModelProvider::groq);
        ADD_FAILURE() << "saving without a keyring succeeded";
    } catch (const KeyStoreError& error) {
        EXPECT_NE(error.code(), 0);
        EXPECT_STRNE(error.what(), "");
    }
    EXPECT_NO_THROW(keys.save("", ModelProvider::groq));
}

} // namespace
} // namespace ulvo
