// The settings adapters against a real key file and the real keyring; run inside scripts/private-session.
#include "platform/linux/GnomeShortcutSettings.h"
#include "platform/linux/KeyFilePreferenceStore.h"
#include "platform/linux/LibsecretStore.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/MainThread.h"
#include "settings-page/SettingsBridge.h"
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"
#include "tests/support/Files.h"
#include "tests/support/ScopedKeyring.h"
#include "tests/support/Waiting.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace ulvo {
namespace {

namespace fs = std::filesystem;

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Never touch the developer's own keyring.
        ASSERT_NE(g_getenv("ULVO_SESSION_DIR"), nullptr) << "run ctest inside scripts/private-session";
    }
    void TearDown() override {
        for (ModelProvider provider : allModelProviders) {
            (void)secrets.remove(APIKeyStore::service, std::string(rawValue(provider)));
        }
    }
    void writeFile(const std::string& text) { test::writeFile(path, text); }
    ModelPreferences load() const { return ModelPreferences::load(prefs, keys); }

    test::ScratchFolder dir;
    fs::path path = dir / "ulvo" / "preferences.ini";
    test::ScopedKeyring secrets{std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                                "-" + std::to_string(getpid())};
    APIKeyStore keys{secrets};
    KeyFilePreferenceStore prefs{path.string()};
};

ModelPreferences defaultsOf(ModelProvider provider) {
    ProviderDefaults d = defaults(provider);
    return {provider, d.baseURL, d.model};
}

TEST_F(SettingsStoreTest, KeysRoundTripByteForByteReplaceAndStayApartPerProvider) {
    EXPECT_TRUE(keys.save("", ModelProvider::xAI)) << "deleting a missing key succeeds";
    const std::string odd = "  sk-ключ 🔑\tkey  ";
    ASSERT_TRUE(keys.save(odd, ModelProvider::groq));
    EXPECT_EQ(keys.read(ModelProvider::groq), odd);
    ASSERT_TRUE(keys.save("openai-key", ModelProvider::openAI));
    ASSERT_TRUE(keys.save("second", ModelProvider::groq));
    EXPECT_EQ(keys.read(ModelProvider::groq), "second");
    EXPECT_EQ(keys.read(ModelProvider::openAI), "openai-key");
    // One removal leaves nothing behind: replacing did not add a second item.
    ASSERT_TRUE(keys.save("", ModelProvider::groq));
    EXPECT_EQ(keys.read(ModelProvider::groq), "");
}

TEST_F(SettingsStoreTest, SecretsThatAreNotTextReadAsFailures) {
    const std::string service = secrets.scoped(APIKeyStore::service);
    ASSERT_TRUE(secrets.real.write(service, "gemini", std::string("\xff\xfe\0k", 4)));
    EXPECT_FALSE(secrets.real.read(service, "gemini").ok());
}

TEST_F(SettingsStoreTest, ItemsAreFoundWhateverSchemaNameTheyCarry) {
    SecretSchema other{};
    other.name = "org.example.Other";
    other.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    other.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    const std::string service = secrets.scoped(APIKeyStore::service);
    ASSERT_TRUE(secret_password_store_sync(&other, SECRET_COLLECTION_DEFAULT, "other", "older", nullptr,
                                           nullptr, "service", service.c_str(), "account", "openRouter",
                                           nullptr));
    EXPECT_EQ(keys.read(ModelProvider::openRouter), "older");
    ASSERT_TRUE(keys.save("newer", ModelProvider::openRouter));
    EXPECT_EQ(keys.read(ModelProvider::openRouter), "newer");
}

TEST_F(SettingsStoreTest, LoadFollowsStoredProviderAndKey) {
    EXPECT_EQ(load(), defaultsOf(ModelProvider::local)) << "no file";

    writeFile("[ulvo]\nmodelProvider=groq\n");
    ASSERT_TRUE(keys.save("gsk", ModelProvider::groq));
    EXPECT_EQ(load(), defaultsOf(ModelProvider::groq));

    writeFile("[ulvo]\nmodelProvider=openAI\nmodelBaseURL=https://proxy.test/v1\nmodelName=m\n");
    EXPECT_EQ(load(), defaultsOf(ModelProvider::local)) << "cloud provider without a key";

    writeFile("[ulvo]\nmodelProvider=custom\nmodelBaseURL=http://127.0.0.1:9/v1\nmodelName=\n");
    ASSERT_TRUE(keys.save("ck", ModelProvider::custom));
    EXPECT_EQ(load(), (ModelPreferences{ModelProvider::custom, "http://127.0.0.1:9/v1", ""}));
}

TEST_F(SettingsStoreTest, AnyStringRoundTripsAndReadsSeeOtherWriters) {
    KeyFilePreferenceStore writer(path.string());
    KeyFilePreferenceStore reader(path.string());
    for (const std::string value : {"", "  two\nlines\r\n back\\slash\\n ünï;cødé=[x]#y  "}) {
        ASSERT_TRUE(writer.setStrings({{"k", value}}));
        EXPECT_EQ(reader.string("k"), value);
    }
    EXPECT_EQ(fs::status(path.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(SettingsStoreTest, SavingKeepsEverythingElseAndLeavesNoTemporaryFiles) {
    writeFile("# about this file\n[other]\nx=1\n\n[ulvo]\n# why\nextra=kept\nmodelProvider=local\n");
    ASSERT_TRUE((ModelPreferences{ModelProvider::groq, "https://g.test/v2", "m"}.save(prefs)));
    const std::string text = test::readFile(path);
    for (const char* kept : {"# about this file", "[other]\nx=1", "# why\nextra=kept"}) {
        EXPECT_NE(text.find(kept), std::string::npos) << kept << " missing from\n" << text;
    }
    ASSERT_TRUE(keys.save("gsk", ModelProvider::groq));
    EXPECT_EQ(load(), (ModelPreferences{ModelProvider::groq, "https://g.test/v2", "m"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), {}), 1);
}

TEST_F(SettingsStoreTest, UnloadableFilesReadAsDefaultsAndAreMovedAsideOnSave) {
    constexpr char raw[] = "\x00\xff\x89PNG\r\n\x1a\n[ulvo\nmodelProvider=groq\n";
    const std::string garbage(raw, sizeof raw - 1);
    const fs::path aside = path.string() + ".corrupt";
    ASSERT_TRUE(keys.save("gsk", ModelProvider::groq));
    const ModelPreferences chosen{ModelProvider::groq, "https://g.test/v1", "m"};

    writeFile(garbage);
    EXPECT_EQ(load(), defaultsOf(ModelProvider::local));
    EXPECT_TRUE(chosen.save(prefs));
    EXPECT_EQ(load(), chosen);
    EXPECT_EQ(test::readFile(aside), garbage);

    // A file standing where the folder should be: the save reports that nothing was written.
    KeyFilePreferenceStore blocked((path / "nested.ini").string());
    EXPECT_FALSE(chosen.save(blocked));
}

// Each test is a process of its own, so the variables it sets stay with it.
TEST(KeyFilePreferenceStoreTest, DefaultPathFollowsXdgConfigHome) {
    g_setenv("HOME", "/home/u", TRUE);
    g_setenv("XDG_CONFIG_HOME", "relative/cfg", TRUE);
    EXPECT_EQ(KeyFilePreferenceStore::defaultPath(), "/home/u/.config/ulvo/preferences.ini");
    g_setenv("XDG_CONFIG_HOME", "/cfg", TRUE);
    EXPECT_EQ(KeyFilePreferenceStore::defaultPath(), "/cfg/ulvo/preferences.ini");
}

// GNOME's real keyboard schemas through GSettings' key-file backend in a scratch directory, so the
// keys written are exactly those GNOME reads.
TEST(GnomeShortcutSettingsTest, WritesTheCustomShortcutKeysAndSeesTheDesktopsOwnBindings) {
    const test::ScratchFolder home;
    g_setenv("GSETTINGS_BACKEND", "keyfile", TRUE);
    g_setenv("XDG_CONFIG_HOME", home.path().c_str(), TRUE);
    const std::unique_ptr<GnomeShortcutSettings> settings = GnomeShortcutSettings::open();
    ASSERT_TRUE(settings) << "GNOME's media-keys schemas are not installed";
    // A default binding of the window manager's.
    EXPECT_EQ(settings->desktopShortcutFor("<Alt>Tab"), "Switch applications");

    const std::string prefix = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/custom";
    // Another custom shortcut holds Alt+E, written in another case; only the free key is written.
    ASSERT_TRUE(settings->addCustomShortcuts({{prefix + "0/", "Terminal", "xterm", "<Alt>E"}}));
    addGnomeShortcuts(*settings, "/usr/bin/ulvo");
    const std::vector<CustomShortcut> written = settings->customShortcuts();
    ASSERT_EQ(written.size(), 2U);
    EXPECT_EQ(written[1], (CustomShortcut{prefix + "1/", "ULVO: explain text in a screen region",
                                          "'/usr/bin/ulvo' --capture", "<Alt><Shift>e"}));
}

TEST(LockedKeyringTest, TheMainLoopRunsWhileTheUnlockPromptWaitsAndTheKeyArrivesOnceUnlocked) {
    if (g_getenv("ULVO_LOCK_KEYRING") == nullptr) {
        GTEST_SKIP() << "locks the keyring: runs in a session of its own";
    }
    const test::ScratchFolder dir;
    KeyFilePreferenceStore prefs((dir / "preferences.ini").string());
    LibsecretStore secrets;
    APIKeyStore keys(secrets);
    ASSERT_TRUE(keys.save("gsk-locked", ModelProvider::groq));
    ASSERT_TRUE((ModelPreferences{ModelProvider::groq, "https://api.groq.com/openai/v1", "m"}.save(prefs)));

    GError* error = nullptr;
    const glib::GObjectPtr<SecretService> service(
        secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error));
    ASSERT_NE(service, nullptr) << error->message;
    const glib::GObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error));
    ASSERT_NE(collection, nullptr);
    GList objects{collection.get(), nullptr, nullptr};
    ASSERT_TRUE(secret_service_lock_sync(service.get(), &objects, nullptr, nullptr, &error));
    ASSERT_TRUE(secret_collection_get_locked(collection.get()));

    struct Host : SettingsHost {
        std::vector<std::string> scripts;
        void evaluateScript(const std::string& script) override { scripts.push_back(script); }
        void openAccessibilitySettings() override {}
    } host;
    SettingsBridge::Options options;
    options.preferences = &prefs;
    options.secrets = &secrets;
    options.toMainThread = gtk::postToMainThread;
    SettingsBridge bridge(host, options);
    bridge.didFinishNavigation();

    // The read waits on the desktop's unlock prompt; the main loop does not.
    int ticks = 0;
    const guint ticker = g_timeout_add(
        20, [](gpointer count) -> gboolean { return ++*static_cast<int*>(count) > 0; }, &ticks);
    const auto pumpUntil = [](const std::function<bool()>& done, std::chrono::milliseconds limit) {
        test::eventually(
            [&] {
                g_main_context_iteration(nullptr, FALSE);
                return done();
            },
            limit);
    };
    pumpUntil([] { return false; }, std::chrono::milliseconds(1500));
    EXPECT_GE(ticks, 25) << "the main loop stalled";
    EXPECT_TRUE(host.scripts.empty()) << "the locked key was read without a prompt";

    // The user types the keyring's password into the prompt; the page then gets the key.
    ASSERT_EQ(std::system("xdotool search --sync --onlyvisible --class gcr-prompter >/dev/null 2>&1 && "
                          "xdotool type --delay 20 password && xdotool key Return"),
              0);
    pumpUntil([&] { return !host.scripts.empty(); }, std::chrono::seconds(20));
    g_source_remove(ticker);
    ASSERT_EQ(host.scripts.size(), 1U) << "the page never got its settings";
    EXPECT_NE(host.scripts[0].find(R"("apiKey":"gsk-locked")"), std::string::npos) << host.scripts[0];
    EXPECT_NE(host.scripts[0].find(R"("provider":"groq")"), std::string::npos) << host.scripts[0];
}

} // namespace
} // namespace ulvo
