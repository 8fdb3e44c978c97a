#include "settings-page/SettingsBridge.h"

#include "base/Text.h"
#include "base/Url.h"
#include "server/ComputeDevice.h"
#include "server/LocalRuntime.h"
#include "settings/APIKeyStore.h"
#include "settings/DevicePreference.h"
#include "settings/ModelPreferences.h"
#include "settings/ModelProvider.h"

namespace ulvo {

namespace {

std::string trimmedString(const nlohmann::json& body, const char* key) {
    const auto found = body.find(key);
    if (found == body.end() || !found->is_string()) {
        return {};
    }
    return trimmedWhitespaceAndNewlines(found->get<std::string>());
}

} // namespace

nlohmann::json modelDevicePayload(const PreferenceStore& preferences) {
    const bool cpuOnly = DevicePreference::cpuOnly(preferences);
    // What the last start of the model used; a choice made since applies at its next start.
    std::string device = ComputeDevice::readRecord().value_or("");
    if (device.empty()) {
        device = cpuOnly ? ComputeDevice::cpu().label : "chosen when the model first starts";
    }
    return {{"device", device}, {"cpuOnly", cpuOnly}};
}

LocalModelState describeLocalModel(const std::optional<std::filesystem::path>& runtimeRoot) {
    switch (inspectLocalRuntime(runtimeRoot).state) {
    case LocalRuntime::State::missing:
        return {"missing", "The built-in runtime is not installed; choose a cloud provider."};
    case LocalRuntime::State::unreadable:
        return {"incomplete", "The built-in runtime's runtime-config.json cannot be read."};
    case LocalRuntime::State::serverMissing:
        return {"incomplete", "The built-in runtime is incomplete: llama-server is missing."};
    case LocalRuntime::State::modelMissing:
        return {"modelMissing",
                "The built-in model is not installed yet: download it below, or choose a file."};
    case LocalRuntime::State::ready:
        break;
    }
    return {"ready", "Runtime and model present; the model starts with the first explanation."};
}

nlohmann::json builtInModelPayload(const ModelInstallState& state) {
    return {{"phase", phaseName(state.phase)},
            {"name", state.name},
            {"bytes", state.bytes},
            {"done", state.progress.done},
            {"total", state.progress.total},
            {"speed", state.bytesPerSecond},
            {"message", state.message}};
}

std::string settingsModelStateScript(const ModelInstallState& state) {
    return "window.ulvo && window.ulvo.modelState(" + scriptLiteral(builtInModelPayload(state)) + ")";
}

std::string settingsInitScript(const nlohmann::json& payload) {
    return "window.ulvo && window.ulvo.init(" + scriptLiteral(payload) + ")";
}

std::string settingsSavedScript(const SaveVerdict& verdict) {
    std::string escaped;
    for (char c : verdict.message) {
        if (c == '\\') {
            escaped += "\\\\";
        } else {
            escaped += c;
        }
    }
    std::string quoted;
    for (char c : escaped) {
        if (c == '\'') {
            quoted += "\\'";
        } else {
            quoted += c;
        }
    }
    return std::string("window.ulvo && window.ulvo.saved(") + (verdict.ok ? "true" : "false") + ", '" +
           quoted + "')";
}

SettingsBridge::SettingsBridge(SettingsHost& host, Options options)
    : host_(host)
    , options_(std::move(options)) {
    if (options_.toMainThread) {
        worker_ = std::make_unique<SerialQueue>("com.zvk.ULVO.settings-store");
    }
}

// The worker finishes what runs (its answer is dropped: the bridge is gone) and drops what waits.
SettingsBridge::~SettingsBridge() {
    lifetime_.end();
    if (worker_) {
        worker_->discardPending();
    }
}

void SettingsBridge::offMainThread(std::function<nlohmann::json()> work,
                                   std::function<void(const nlohmann::json&)> done) {
    if (!worker_) {
        done(work());
        return;
    }
    worker_->async([work = std::move(work), done = std::move(done), post = options_.toMainThread,
                    watch = lifetime_.watch()] {
        nlohmann::json result = work();
        post([watch, done, result = std::move(result)] {
            if (watch.get() != nullptr) {
                done(result);
            }
        });
    });
}

nlohmann::json SettingsBridge::connectionPayload() const {
    const APIKeyStore keys(*options_.secrets);
    const ModelPreferences current = ModelPreferences::load(*options_.preferences, keys);
    return {{"provider", rawValue(current.provider)},
            {"baseURL", current.baseURL},
            {"model", current.model},
            // A cloud provider here had its key read by load; a key that could not be read (a dismissed
            // unlock prompt) reads as local, and asking again would prompt twice.
            {"apiKey", current.provider == ModelProvider::local ? "" : keys.read(current.provider)}};
}

nlohmann::json SettingsBridge::pagePayload() const {
    nlohmann::json providers = nlohmann::json::array();
    for (ModelProvider provider : allModelProviders) {
        const ProviderDefaults fallback = defaults(provider);
        providers.push_back({{"id", rawValue(provider)},
                             {"label", label(provider)},
                             {"baseURL", fallback.baseURL},
                             {"model", fallback.model},
                             {"needsAPIKey", needsAPIKey(provider)}});
    }
    nlohmann::json payload = {{"providers", providers}, {"version", options_.version}};
    if (options_.localModel) {
        const LocalModelState local = options_.localModel();
        payload["localModel"] = {{"state", local.state}, {"message", local.message}};
    }
    payload["sessionNotes"] = options_.sessionNotes ? options_.sessionNotes() : std::vector<std::string>{};
    payload["gnomeShortcuts"] = static_cast<bool>(options_.addGnomeShortcuts);
    payload["hotKeyNote"] = options_.hotKeyNote ? options_.hotKeyNote() : std::string();
    payload["modelList"] = static_cast<bool>(options_.listModels);
    if (options_.builtInModel) {
        payload["builtInModel"] = options_.builtInModel();
        if (options_.preferences != nullptr) {
            payload["modelDevice"] = modelDevicePayload(*options_.preferences);
        }
    }
    if (options_.startAtLogin && options_.setStartAtLogin) {
        payload["startAtLogin"] = options_.startAtLogin();
    }
    if (options_.readThroughAccessibility && options_.setReadThroughAccessibility) {
        payload["readThroughAccessibility"] = options_.readThroughAccessibility();
    }
    return payload;
}

nlohmann::json SettingsBridge::initPayload() const {
    nlohmann::json payload = pagePayload();
    payload["current"] = connectionPayload();
    return payload;
}

SaveVerdict SettingsBridge::save(const nlohmann::json& message) {
    const auto providerValue = message.find("provider");
    ModelProvider provider = ModelProvider::local;
    if (providerValue != message.end() && providerValue->is_string()) {
        provider = providerFromRawValue(providerValue->get<std::string>()).value_or(ModelProvider::local);
    }
    const std::string baseURL = trimmedString(message, "baseURL");
    const std::string model = trimmedString(message, "model");
    const std::string key = trimmedString(message, "apiKey");

    if (provider != ModelProvider::local && (baseURL.empty() || !isParsableUrl(baseURL))) {
        return {false, "That base URL is not valid."};
    }
    // Without a scheme the HTTP client would guess http:// and send the key in clear text.
    if (provider != ModelProvider::local && !isPrivateProviderAddress(baseURL)) {
        return {false, providerAddressMessage};
    }
    if (model.empty()) {
        return {false, "A model name is required."};
    }
    if (provider != ModelProvider::local && key.empty()) {
        return {false, "Add an API key or choose Built-in local."};
    }
    if (!APIKeyStore(*options_.secrets).save(key, provider)) {
        return {false, "Could not save the key to the keyring."};
    }
    // Saying "Saved." for a connection that never reached the disk would be a silent failure.
    if (!ModelPreferences{provider, baseURL, model}.save(*options_.preferences)) {
        return {false, "Could not save the settings file."};
    }
    return {true, "Saved. New explanations use this connection."};
}

void SettingsBridge::sendInit() {
    offMainThread([this] { return connectionPayload(); },
                  [this](const nlohmann::json& connection) {
                      nlohmann::json payload = pagePayload();
                      payload["current"] = connection;
                      host_.evaluateScript(settingsInitScript(payload));
                  });
}

void SettingsBridge::startAtLoginChanged() {
    if (options_.startAtLogin && options_.setStartAtLogin) {
        showStartAtLogin("");
    }
}

void SettingsBridge::showStartAtLogin(const std::string& message) {
    host_.evaluateScript(std::string("window.ulvo && window.ulvo.startAtLogin(") +
                         (options_.startAtLogin() ? "true" : "false") + ", " + scriptLiteral(message) + ")");
}

void SettingsBridge::didReceiveScriptMessage(const nlohmann::json& body) {
    if (!body.is_object()) {
        return;
    }
    const auto type = body.find("type");
    if (type == body.end() || !type->is_string()) {
        return;
    }
    const std::string& name = type->get_ref<const std::string&>();
    if (name == "ready") {
        sendInit();
    } else if (name == "save") {
        offMainThread(
            [this, body] {
                const SaveVerdict verdict = save(body);
                return nlohmann::json{{"ok", verdict.ok}, {"message", verdict.message}};
            },
            [this](const nlohmann::json& verdict) {
                host_.evaluateScript(
                    settingsSavedScript({verdict["ok"].get<bool>(), verdict["message"].get<std::string>()}));
            });
    } else if (name == "models" && options_.listModels) {
        const auto text = [&body](const char* member) {
            const auto found = body.find(member);
            return found != body.end() && found->is_string()
                       ? trimmedWhitespaceAndNewlines(found->get<std::string>())
                       : std::string();
        };
        const ModelProvider provider = providerFromRawValue(text("provider")).value_or(ModelProvider::local);
        offMainThread(
            [this, provider, baseURL = text("baseURL"), typed = text("apiKey")] {
                // A key not typed again is the stored one.
                const std::string key = typed.empty() ? APIKeyStore(*options_.secrets).read(provider) : typed;
                return options_.listModels(provider, baseURL, key);
            },
            [this](const nlohmann::json& models) {
                host_.evaluateScript("window.ulvo && window.ulvo.models(" + scriptLiteral(models) + ")");
            });
    } else if (name == "accessibility") {
        host_.openAccessibilitySettings();
    } else if (name == "gnome-shortcuts" && options_.addGnomeShortcuts) {
        // Only when the user asks: GNOME's shortcuts are the user's own settings.
        host_.evaluateScript("window.ulvo && window.ulvo.shortcutsAdded(" +
                             scriptLiteral(options_.addGnomeShortcuts()) + ")");
    } else if (name == "start-at-login" && options_.startAtLogin && options_.setStartAtLogin) {
        const auto on = body.find("on");
        if (on != body.end() && on->is_boolean()) {
            const bool changed = options_.setStartAtLogin(on->get<bool>());
            showStartAtLogin(changed ? "" : "ULVO could not change its login start.");
        }
    } else if (name == "read-through-accessibility" && options_.readThroughAccessibility &&
               options_.setReadThroughAccessibility) {
        const auto on = body.find("on");
        if (on != body.end() && on->is_boolean()) {
            const bool changed = options_.setReadThroughAccessibility(on->get<bool>());
            host_.evaluateScript(std::string("window.ulvo && window.ulvo.accessibilityReading(") +
                                 (options_.readThroughAccessibility() ? "true" : "false") + ", " +
                                 scriptLiteral(changed ? "" : "ULVO could not store this choice.") + ")");
        }
    } else if (name == "cpu-only" && options_.preferences != nullptr) {
        const auto on = body.find("on");
        if (on != body.end() && on->is_boolean()) {
            const bool stored = DevicePreference::setCPUOnly(*options_.preferences, on->get<bool>());
            nlohmann::json device = modelDevicePayload(*options_.preferences);
            device["message"] =
                stored ? "Applies when the model next starts." : "ULVO could not store this choice.";
            host_.evaluateScript("window.ulvo && window.ulvo.modelDevice(" + scriptLiteral(device) + ")");
        }
    } else if (name == "model" && options_.builtInModelAction) {
        const auto action = body.find("action");
        if (action != body.end() && action->is_string()) {
            const std::string& which = action->get_ref<const std::string&>();
            if (which == "download" || which == "cancel" || which == "file" || which == "remove") {
                options_.builtInModelAction(which);
            }
        }
    }
}

} // namespace ulvo
