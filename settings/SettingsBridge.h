#pragma once

#include "model/ModelInstaller.h"
#include "settings/PreferenceStore.h"
#include "settings/SecretStore.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
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
        // On GNOME: adds ULVO's two keys as GNOME custom shortcuts and returns what was done. Offered
        // on the page only when set.
        std::function<std::string()> addGnomeShortcuts;
        // The built-in model's state for the page (see builtInModelPayload), and what its buttons ask:
        // "download", "cancel", "file" (choose a file) or "remove". Offered only when set.
        std::function<nlohmann::json()> builtInModel;
        std::function<void(const std::string& action)> builtInModelAction;
    };

    SettingsBridge(SettingsHost& host, Options options);

    void didReceiveScriptMessage(const nlohmann::json& body);
    void didFinishNavigation() { sendInit(); }

    // Built afresh from the stores every time.
    nlohmann::json initPayload() const;
    // Validates and stores one "save" message.
    SaveVerdict save(const nlohmann::json& message);

private:
    void sendInit();

    SettingsHost& host_;
    Options options_;
};

} // namespace ulvo
