#pragma once

#include "base/Lifetime.h"
#include "base/SerialQueue.h"
#include "download/ModelInstaller.h"
#include "settings/ModelProvider.h"
#include "settings/PreferenceStore.h"
#include "settings/SecretStore.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ulvo {

// The one-line verdict of a save.
struct SaveVerdict {
    bool ok = false;
    std::string message;
    bool operator==(const SaveVerdict&) const = default;
};

// What the page is told about the built-in local model.
struct LocalModelState {
    std::string state; // "ready", "modelMissing", "incomplete", "missing"
    std::string message;
};

// The built-in runtime's state from its directory: runtime-config.json, llama-server and the model file.
LocalModelState describeLocalModel(const std::optional<std::filesystem::path>& runtimeRoot);

// The built-in model's state as both pages show it: phase, name, bytes, done, total, speed, message.
nlohmann::json builtInModelPayload(const ModelInstallState& state);
// "window.ulvo && window.ulvo.modelState(<payload>)".
std::string settingsModelStateScript(const ModelInstallState& state);
// Which device runs the built-in model, and the user's "CPU only" choice: {"device", "cpuOnly"}.
nlohmann::json modelDevicePayload(const PreferenceStore& preferences);

// "window.ulvo && window.ulvo.init(<payload>)".
std::string settingsInitScript(const nlohmann::json& payload);
// "window.ulvo && window.ulvo.saved(<true|false>, '<message>')": backslashes doubled first, then
// apostrophes escaped, so the message stays one string literal.
std::string settingsSavedScript(const SaveVerdict& verdict);

// What the settings bridge needs from the desktop; main thread only.
class SettingsHost {
public:
    virtual ~SettingsHost() = default;
    virtual void evaluateScript(const std::string& script) = 0; // fire and forget
    virtual void openAccessibilitySettings() = 0;
};

// Both directions of the settings page protocol.
class SettingsBridge {
public:
    struct Options {
        PreferenceStore* preferences = nullptr;
        SecretStore* secrets = nullptr;
        std::string version;
        std::function<LocalModelState()> localModel;
        // What this desktop session lacks, one sentence each (a Wayland session has no global hot keys).
        std::function<std::vector<std::string>()> sessionNotes;
        // How the hot keys are bound, where the user may want to change them; "" or unset for nothing.
        std::function<std::string()> hotKeyNote;
        // On GNOME: adds ULVO's two keys as GNOME custom shortcuts and returns what was done. Offered
        // on the page only when set.
        std::function<std::string()> addGnomeShortcuts;
        // The built-in model's state for the page (see builtInModelPayload), and what its buttons ask:
        // "download", "cancel", "file" (choose a file) or "remove". Offered only when set.
        std::function<nlohmann::json()> builtInModel;
        std::function<void(const std::string& action)> builtInModelAction;
        // "Start ULVO at login": its state, and the switch (false when the change failed). Offered only
        // when both are set.
        std::function<bool()> startAtLogin;
        std::function<bool(bool on)> setStartAtLogin;
        // Reading selections through accessibility: its state, and the switch (false when the choice
        // could not be stored). Offered only when both are set.
        std::function<bool()> readThroughAccessibility;
        std::function<bool(bool on)> setReadThroughAccessibility;
        // The provider's own model list (see providerModels), asked by the page; blocking, so it runs on
        // the bridge's worker. Offered only when set.
        std::function<nlohmann::json(ModelProvider provider, const std::string& baseURL,
                                     const std::string& key)>
            listModels;
        // Set: the keyring and the settings file are read and written on a worker thread of the
        // bridge's own, and the page's answer comes back through this, so an unlock prompt or a hung
        // keyring never freezes the window. Unset (tests of the verdicts): in the caller's thread.
        std::function<void(std::function<void()>)> toMainThread;
    };

    SettingsBridge(SettingsHost& host, Options options);
    ~SettingsBridge();
    SettingsBridge(const SettingsBridge&) = delete;
    SettingsBridge& operator=(const SettingsBridge&) = delete;

    void didReceiveScriptMessage(const nlohmann::json& body);
    void didFinishNavigation() { sendInit(); }
    // The login start changed elsewhere (the status menu): the page's switch follows.
    void startAtLoginChanged();

    // Built afresh from the stores every time.
    nlohmann::json initPayload() const;
    // The stored connection, from the settings file and the keyring: the slow half of the payload.
    nlohmann::json connectionPayload() const;
    // Validates and stores one "save" message.
    SaveVerdict save(const nlohmann::json& message);

private:
    void sendInit();
    // The page's login-start switch: the current state and a message ("" for none).
    void showStartAtLogin(const std::string& message);
    // Runs work away from the main thread when a poster is set, then done with its result on the main thread.
    void offMainThread(std::function<nlohmann::json()> work, std::function<void(const nlohmann::json&)> done);
    // Everything but the connection: the page's state from the main thread's objects.
    nlohmann::json pagePayload() const;

    SettingsHost& host_;
    Options options_;
    std::unique_ptr<SerialQueue> worker_;
    Lifetime<SettingsBridge> lifetime_{this};
};

} // namespace ulvo
