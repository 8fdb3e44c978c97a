// The settings page protocol (save validation and storage, a keyring that waits on its unlock prompt),
// login start, the built-in runtime's state and GNOME's shortcuts. Which provider a stored connection
// loads as is the settings store's test, against the real key file and keyring.
#include "settings-page/SettingsBridge.h"
#include "server/ComputeDevice.h"
#include "server/LocalRuntime.h"
#include "settings/APIKeyStore.h"
#include "settings/DevicePreference.h"
#include "settings/GnomeShortcuts.h"
#include "settings/LoginStart.h"
#include "settings/ModelPreferences.h"
#include "tests/support/FakeStores.h"
#include "tests/support/Files.h"
#include "tests/support/TaskQueue.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>

#include <future>
#include <map>

namespace ulvo {
namespace {

using nlohmann::json;

class RecordingSettingsHost : public SettingsHost {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    void openAccessibilitySettings() override {}
    std::vector<std::string> scripts;
};

class SettingsBridgeTest : public ::testing::Test {
protected:
    SettingsBridge::Options options() {
        SettingsBridge::Options options;
        options.preferences = &preferences;
        options.secrets = &secrets;
        return options;
    }
    SettingsBridge makeBridge() { return SettingsBridge(host, options()); }
    std::string storedKey(ModelProvider provider) { return APIKeyStore(secrets).read(provider); }

    test::MemoryPreferenceStore preferences;
    test::MemorySecretStore secrets;
    RecordingSettingsHost host;
};

TEST_F(SettingsBridgeTest, SavesAreJudgedInOrderAndStoreTrimmedValuesOrNothing) {
    SettingsBridge bridge = makeBridge();
    const std::string plainHttp =
        "The provider address must start with https:// (http:// only for this computer).";
    const std::string saved = "Saved. New explanations use this connection.";
    const struct {
        json message;
        std::string verdict;
        // Provider, base URL, model; the refusals come first and store nothing.
        std::vector<std::string> stored = {};
    } cases[] = {
        {{{"provider", "groq"}, {"baseURL", "https://api.groq.com/openai/v1"}, {"model", ""}, {"apiKey", ""}},
         "A model name is required."},
        {{{"provider", "custom"}, {"baseURL", "http://bad host"}, {"model", "m"}, {"apiKey", "k"}},
         "That base URL is not valid."},
        // The key would go out in clear text: no scheme (read as http://), or http to another computer.
        {{{"provider", "custom"}, {"baseURL", "127.0.0.1:8080/v1"}, {"model", "m"}, {"apiKey", "k"}},
         plainHttp},
        {{{"provider", "openAI"}, {"baseURL", "http://api.openai.com/v1"}, {"model", "m"}, {"apiKey", "k"}},
         plainHttp},
        {{{"provider", "xAI"}, {"baseURL", "https://api.x.ai/v1"}, {"model", "m"}, {"apiKey", " \n"}},
         "Add an API key or choose Built-in local."},
        // The built-in provider needs neither a key nor a valid address.
        {{{"provider", "local"}, {"baseURL", "  not a url at all "}, {"model", " gemma\n"}},
         saved,
         {"local", "not a url at all", "gemma"}},
        {{{"provider", "groq"}, {"baseURL", " https://g.test/v1 "}, {"model", "m"}, {"apiKey", " gsk-1 "}},
         saved,
         {"groq", "https://g.test/v1", "m"}},
    };
    for (const auto& [message, verdict, stored] : cases) {
        SCOPED_TRACE(message.dump());
        EXPECT_EQ(bridge.save(message), (SaveVerdict{verdict == saved, verdict}));
        EXPECT_EQ((std::vector<std::string>{preferences.string(ModelPreferences::providerKey).value_or(""),
                                            preferences.string(ModelPreferences::baseURLKey).value_or(""),
                                            preferences.string(ModelPreferences::modelKey).value_or("")}),
                  stored.empty() ? std::vector<std::string>(3) : stored);
    }
    EXPECT_EQ(storedKey(ModelProvider::groq), "gsk-1");

    // A refused key: said, and the connection that would need it is not stored either.
    secrets.refusal = Failure{"locked", 36};
    EXPECT_EQ(bridge.save(
                  {{"provider", "groq"}, {"baseURL", "https://r.test/v1"}, {"model", "m"}, {"apiKey", "k"}}),
              (SaveVerdict{false, "Could not save the key to the keyring."}));
    EXPECT_EQ(preferences.string(ModelPreferences::baseURLKey), "https://g.test/v1");
    secrets.refusal.reset();

    // A connection that never reached the disk is not reported as saved.
    preferences.refuseWrites = true;
    EXPECT_EQ(bridge.save({{"provider", "local"}, {"model", "m"}}),
              (SaveVerdict{false, "Could not save the settings file."}));
}

TEST(LoginStartTest, AnEntryStartsTheProgramWhateverItsPathAndGoesWhenOff) {
    const test::ScratchFolder root;
    const std::filesystem::path program = root / "odd \"name\" $HOME `x` 100%" / "bin" / "ulvo";
    const std::filesystem::path entry = root / "autostart" / LoginStart::entryName;
    LoginStart login(root / "autostart", program);

    ASSERT_TRUE(login.set(true));
    EXPECT_TRUE(login.enabled());
    const std::string escaped = (root / "odd \\\\\"name\\\\\" \\\\$HOME \\\\`x\\\\` 100%%").string();
    EXPECT_NE(test::readFile(entry).find("\nExec=\"" + escaped + "/bin/ulvo\"\n"), std::string::npos)
        << test::readFile(entry);
    std::ofstream(entry, std::ios::app) << "Hidden=true\n";
    EXPECT_FALSE(login.enabled()) << "the desktop's own settings turned it off";

    ASSERT_TRUE(login.set(false));
    EXPECT_FALSE(std::filesystem::exists(entry));

    // Paths a desktop entry cannot hold, and a folder that cannot be made, change nothing.
    EXPECT_FALSE(LoginStart(root / "autostart", root / "a\nb").set(true));
    test::writeFile(root / "blocked", "a file where the folder belongs");
    LoginStart blocked(root / "blocked", program);
    EXPECT_FALSE(blocked.set(true));
    EXPECT_TRUE(std::filesystem::is_empty(root / "autostart"));
}

TEST_F(SettingsBridgeTest, TheLoginStartSwitchIsOfferedOnlyWhenWiredAndSaysAFailure) {
    EXPECT_FALSE(makeBridge().initPayload().contains("startAtLogin"));
    bool on = false;
    bool works = true;
    SettingsBridge::Options options = this->options();
    options.startAtLogin = [&on] { return on; };
    options.setStartAtLogin = [&](bool wanted) {
        on = works ? wanted : on;
        return works;
    };
    SettingsBridge bridge(host, std::move(options));
    bridge.didReceiveScriptMessage({{"type", "start-at-login"}, {"on", true}});
    EXPECT_EQ(host.scripts.back(), R"(window.ulvo && window.ulvo.startAtLogin(true, ""))");
    works = false;
    bridge.didReceiveScriptMessage({{"type", "start-at-login"}, {"on", false}});
    EXPECT_EQ(host.scripts.back(),
              R"(window.ulvo && window.ulvo.startAtLogin(true, "ULVO could not change its login start."))");
}

TEST_F(SettingsBridgeTest, CPUOnlyIsStoredAndTheDeviceShownIsTheOneLastUsed) {
    const test::ScratchFolder cache;
    ::setenv("XDG_CACHE_HOME", cache.path().c_str(), 1); // each test is a process of its own
    SettingsBridge bridge = makeBridge();
    bridge.didReceiveScriptMessage({{"type", "cpu-only"}, {"on", true}});
    EXPECT_TRUE(DevicePreference::cpuOnly(preferences));
    ComputeDevice{true, "Vulkan: Radeon"}.writeRecord(); // what the server ran on before the switch
    EXPECT_EQ(modelDevicePayload(preferences).at("device"), "Vulkan: Radeon");
}

TEST_F(SettingsBridgeTest, AnUnlockPromptNeverHoldsTheWindowAndTheAnswersComeBackAfterIt) {
    std::promise<void> unlock;
    secrets.released = unlock.get_future().share();
    test::TaskQueue mainThread;
    SettingsBridge::Options options = this->options();
    options.toMainThread = mainThread.poster();
    SettingsBridge bridge(host, std::move(options));

    // The page loads and the user saves while the keyring waits: the caller returns at once.
    bridge.didFinishNavigation();
    bridge.didReceiveScriptMessage({{"type", "save"},
                                    {"provider", "groq"},
                                    {"baseURL", "https://api.groq.com/openai/v1"},
                                    {"model", "m"},
                                    {"apiKey", "sk-new"}});
    EXPECT_TRUE(host.scripts.empty());
    unlock.set_value();
    ASSERT_TRUE(test::eventually([&] {
        mainThread.run();
        return host.scripts.size() == 2;
    }));
    EXPECT_EQ(host.scripts[1], settingsSavedScript({true, "Saved. New explanations use this connection."}));
    EXPECT_EQ(storedKey(ModelProvider::groq), "sk-new");
}

// Settings, the browser host and the server's start all judge the runtime one way, so a model the user
// downloaded counts everywhere and a server without the execute bit nowhere; the page gets each state
// under its own name.
TEST(LocalRuntime, StatesFromTheDirectoryAndTheUsersDownloadUnderThePagesNames) {
    const test::ScratchFolder scratch;
    const std::filesystem::path root = scratch / "runtime";
    std::filesystem::create_directories(root);
    ::setenv("XDG_DATA_HOME", (scratch / "data").c_str(), 1);
    const auto expect = [](std::optional<std::filesystem::path> at, LocalRuntime::State state,
                           const std::string& name) {
        EXPECT_EQ(inspectLocalRuntime(at).state, state) << name;
        EXPECT_EQ(describeLocalModel(at).state, name);
    };
    expect(std::nullopt, LocalRuntime::State::missing, "missing");
    expect(root, LocalRuntime::State::unreadable, "incomplete");
    test::writeFile(
        root / "runtime-config.json",
        R"({"llamaServer":"llama-server","model":"models/m.gguf","modelAlias":"m","contextSize":512})");
    test::writeFile(root / "llama-server", "#!/bin/sh\n");
    expect(root, LocalRuntime::State::serverMissing, "incomplete"); // not executable
    std::filesystem::permissions(root / "llama-server", std::filesystem::perms::owner_all);
    expect(root, LocalRuntime::State::modelMissing, "modelMissing");

    test::writeFile(root / "models" / "m.gguf", "GGUF");
    expect(root, LocalRuntime::State::ready, "ready");
    // The user's own download comes before the one shipped in the runtime.
    test::writeFile(scratch / "data" / "ulvo" / "models" / "m.gguf", "GGUF");
    EXPECT_EQ(inspectLocalRuntime(root).model, scratch / "data" / "ulvo" / "models" / "m.gguf");
}

// GNOME's keyboard settings in memory.
struct FakeShortcuts final : ShortcutSettings {
    std::vector<CustomShortcut> custom;
    std::map<std::string, std::string> desktop; // normalized accelerator -> shortcut name
    bool writable = true;
    std::vector<CustomShortcut> customShortcuts() override { return custom; }
    std::optional<std::string> desktopShortcutFor(const std::string& binding) override {
        const auto found = desktop.find(normalizedAccelerator(binding));
        return found != desktop.end() ? std::optional(found->second) : std::nullopt;
    }
    bool addCustomShortcuts(const std::vector<CustomShortcut>& added) override {
        if (!writable) {
            return false;
        }
        custom.insert(custom.end(), added.begin(), added.end());
        return true;
    }
};

// A key another custom shortcut holds is GnomeShortcutSettingsTest's, against GNOME's real schemas.
TEST(GnomeShortcutsTest, AddsKeysOnceInFreePathsAndLeavesTakenKeysToTheirOwners) {
    const std::string prefix = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/custom";
    FakeShortcuts settings;
    settings.custom = {{prefix + "0/", "Terminal", "kgx", "<Super>t"},
                       {prefix + "2/", "Notes", "notes", "<Super>n"}};
    settings.desktop[normalizedAccelerator("<Shift><Alt>e")] = "Switch windows"; // written in another order
    addGnomeShortcuts(settings, "/opt/my apps/ulvo");
    // A second click changes nothing; a key the desktop holds stays its own.
    const std::string said = addGnomeShortcuts(settings, "/opt/my apps/ulvo");
    EXPECT_EQ(
        said.rfind("Alt+E already runs ULVO. Alt+Shift+E is already taken by \u201cSwitch windows\u201d", 0),
        0U)
        << said;
    ASSERT_EQ(settings.custom.size(), 3U);
    EXPECT_EQ(settings.custom[2], (CustomShortcut{prefix + "1/", "ULVO: explain the selection",
                                                  "'/opt/my apps/ulvo' --explain", "<Alt>e"}));

    FakeShortcuts locked;
    locked.writable = false;
    EXPECT_EQ(addGnomeShortcuts(locked, "ulvo"), "Could not change GNOME's keyboard shortcuts.");
}

} // namespace
} // namespace ulvo
