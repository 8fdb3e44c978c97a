// The real settings window: WebKit showing Web/settings.html, saving through the real key file and the
// real keyring daemon. Runs inside scripts/private-session.
#include "platform/linux/gtk/SettingsWindow.h"
#include "platform/linux/KeyFilePreferenceStore.h"
#include "platform/linux/LibsecretStore.h"
#include "settings-page/SettingsBridge.h"
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/support/Files.h"
#include "tests/support/ScopedKeyring.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace ulvo {
namespace {

using nlohmann::json;
using namespace test;

class SettingsWindowTest : public ::testing::Test, public SettingsHost {
protected:
    void SetUp() override {
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr || std::getenv("DISPLAY") == nullptr) {
            GTEST_SKIP() << "needs scripts/private-session";
        }
        gtk_init(nullptr, nullptr);
        directory_ =
            std::filesystem::temp_directory_path() / ("ulvo-settings-window-" + std::to_string(getpid()));
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
        preferences_ = std::make_unique<KeyFilePreferenceStore>((directory_ / "preferences.ini").string());

        SettingsBridge::Options options;
        options.preferences = preferences_.get();
        options.secrets = &secrets_;
        options.version = "9.8.7";
        options.localModel = [] {
            return LocalModelState{
                "modelMissing",
                "Runtime present, model file missing: install a model with ulvo-install-model."};
        };
        options.sessionNotes = [] {
            return std::vector<std::string>{"The explain tag is unavailable: a reason."};
        };
        options.addGnomeShortcuts = [this] {
            ++shortcutRequests_;
            return std::string("Alt+E now runs ULVO. Alt+Shift+E now runs ULVO.");
        };
        options.builtInModel = [] {
            ModelInstallState state;
            state.phase = ModelInstallState::Phase::notInstalled;
            state.name = "Test model";
            state.bytes = 806000000;
            return builtInModelPayload(state);
        };
        options.builtInModelAction = [this](const std::string& action) { modelActions_.push_back(action); };
        bridge_ = std::make_unique<SettingsBridge>(*this, std::move(options));
        gtk::PageView::Callbacks callbacks;
        callbacks.message = [this](const json& body) {
            messages_.push_back(body);
            bridge_->didReceiveScriptMessage(body);
        };
        callbacks.loadFinished = [this] { bridge_->didFinishNavigation(); };
        window_ = std::make_unique<gtk::SettingsWindow>(nullptr, *engine_, callbacks, nullptr);
        window_->page().load(std::filesystem::path(ULVO_TEST_WEB_DIR) / "settings.html");
        window_->present();
        ASSERT_TRUE(pumpUntil(
            [this] {
                return js("(document.getElementById('provider') || {options: []}).options.length") == 7;
            },
            30s));
    }

    void TearDown() override {
        for (ModelProvider provider : allModelProviders) {
            (void)secrets_.remove(APIKeyStore::service, std::string(rawValue(provider)));
        }
        window_.reset();
        std::filesystem::remove_all(directory_);
    }

    void evaluateScript(const std::string& script) override { window_->page().evaluate(script); }
    void openAccessibilitySettings() override { ++accessibilityOpened_; }

    json js(const std::string& expression) { return evaluate(window_->page().view(), expression); }

    // Fills the form the way a user does: select, type, click Save; returns the verdict shown.
    json saveThroughPage(const std::string& provider, const std::string& baseURL, const std::string& model,
                         const std::string& key) {
        const json fields = {{"provider", provider, "change"},
                             {"base-url", baseURL, "input"},
                             {"model", model, "input"},
                             {"api-key", key, "input"}};
        js("(fields => { for (const [id, value, kind] of fields) { const e = document.getElementById(id);"
           "e.value = value; e.dispatchEvent(new Event(kind, {bubbles: true})); }"
           "document.getElementById('verdict').textContent = '';"
           "document.getElementById('save').click(); })(" +
           fields.dump() + ")");
        pumpUntil([this] { return js("document.getElementById('verdict').textContent") != ""; });
        return js("({text: document.getElementById('verdict').textContent,"
                  "ok: document.getElementById('verdict').classList.contains('ok')})");
    }

    std::string keyFile() { return readFile(directory_ / "preferences.ini"); }

    std::unique_ptr<gtk::WebEngine> engine_ = gtk::loadWebEngine().value();
    std::filesystem::path directory_;
    std::unique_ptr<KeyFilePreferenceStore> preferences_;
    ScopedKeyring secrets_{"settings-window-" + std::to_string(getpid())};
    std::unique_ptr<SettingsBridge> bridge_;
    std::unique_ptr<gtk::SettingsWindow> window_;
    std::vector<json> messages_;
    int accessibilityOpened_ = 0;
    int shortcutRequests_ = 0;
    std::vector<std::string> modelActions_;
};

TEST_F(SettingsWindowTest, PageShowsTheCatalogueAndTheStoredConnection) {
    EXPECT_EQ(js("[...document.getElementById('provider').options].map(o => o.value + '=' + o.textContent)"),
              (json{"local=Built-in local", "openAI=OpenAI", "openRouter=OpenRouter", "groq=Groq",
                    "gemini=Google Gemini", "xAI=xAI", "custom=Custom OpenAI-compatible"}));
    EXPECT_EQ(js("document.getElementById('provider').value"), "local");
    EXPECT_EQ(js("document.getElementById('base-url').value"), "http://127.0.0.1:7332/v1");
    EXPECT_EQ(js("document.getElementById('model').value"), "gemma-3-1b-it");
    EXPECT_EQ(js("document.getElementById('key-field').hidden"), true);
    EXPECT_EQ(js("document.getElementById('local-state').textContent"),
              "Runtime present, model file missing: install a model with ulvo-install-model.");
    EXPECT_EQ(js("document.getElementById('version').textContent"), "ULVO 9.8.7");
    EXPECT_EQ(messages_.front(), (json{{"type", "ready"}}));
    EXPECT_STREQ(gtk_window_get_title(window_->window()), "ULVO Settings");

    // Choosing a cloud provider shows its defaults and a hidden key with a reveal toggle.
    js("(() => { const p = document.getElementById('provider'); p.value = 'groq';"
       "p.dispatchEvent(new Event('change', {bubbles: true})); })()");
    EXPECT_EQ(js("document.getElementById('base-url').value"), "https://api.groq.com/openai/v1");
    EXPECT_EQ(js("document.getElementById('key-field').hidden"), false);
    EXPECT_EQ(js("document.getElementById('api-key').type"), "password");
    js("document.getElementById('reveal').click()");
    EXPECT_EQ(js("document.getElementById('api-key').type"), "text");
    EXPECT_EQ(js("document.getElementById('reveal').getAttribute('aria-pressed')"), "true");

    js("document.getElementById('accessibility').click()");
    ASSERT_TRUE(pumpUntil([this] { return accessibilityOpened_ == 1; }));

    // What the session lacks, and GNOME's shortcuts added only when the button is pressed.
    EXPECT_EQ(js("document.getElementById('session').hidden"), false);
    EXPECT_EQ(js("document.getElementById('session-notes').textContent"),
              "The explain tag is unavailable: a reason.");
    EXPECT_EQ(js("document.getElementById('gnome-shortcuts').hidden"), false);
    EXPECT_EQ(shortcutRequests_, 0);
    js("document.getElementById('add-gnome-shortcuts').click()");
    ASSERT_TRUE(pumpUntil([this] {
        return js("document.getElementById('shortcuts-result').textContent") ==
               "Alt+E now runs ULVO. Alt+Shift+E now runs ULVO.";
    }));
    EXPECT_EQ(shortcutRequests_, 1);

    // The built-in model: its state, its buttons, and each state pushed while a download runs.
    EXPECT_EQ(js("document.getElementById('model-status').textContent"),
              "Not installed. Test model is 806 MB.");
    EXPECT_EQ(js("document.getElementById('model-download').textContent"), "Download (806 MB)");
    for (const char* button : {"model-download", "model-file"}) {
        js(std::string("document.getElementById('") + button + "').click()");
    }
    ASSERT_TRUE(pumpUntil([this] { return modelActions_.size() == 2; }));
    EXPECT_EQ(modelActions_, (std::vector<std::string>{"download", "file"}));
    ModelInstallState downloading;
    downloading.phase = ModelInstallState::Phase::downloading;
    downloading.name = "Test model";
    downloading.bytes = 806000000;
    downloading.progress = {201500000, 806000000};
    downloading.bytesPerSecond = 5e6;
    evaluateScript(settingsModelStateScript(downloading));
    ASSERT_TRUE(
        pumpUntil([this] { return js("document.getElementById('model-progress').hidden") == false; }));
    EXPECT_EQ(js("document.getElementById('model-status').textContent"),
              "Downloading Test model: 25% (202 MB of 806 MB), 5.0 MB/s, 2 min left.");
    EXPECT_EQ(js("document.getElementById('model-cancel').hidden"), false);
    EXPECT_EQ(js("document.getElementById('model-download').hidden"), true);
    js("document.getElementById('model-cancel').click()");
    ASSERT_TRUE(pumpUntil([this] { return modelActions_.size() == 3 && modelActions_.back() == "cancel"; }));
    ModelInstallState failed = downloading;
    failed.phase = ModelInstallState::Phase::failed;
    failed.message = "The download failed: the server answered 404.";
    evaluateScript(settingsModelStateScript(failed));
    ASSERT_TRUE(pumpUntil(
        [this] { return js("document.getElementById('model-download').textContent") == "Retry (806 MB)"; }));
    EXPECT_EQ(js("document.getElementById('model-status').textContent"),
              "The model could not be installed. The download failed: the server answered 404.");

    EXPECT_TRUE(screenshot(std::filesystem::path(ULVO_TEST_SCREENSHOT_DIR) / "settings.png",
                           screenRect(gtk_widget_get_toplevel(window_->page().widget())), 0));
}

TEST_F(SettingsWindowTest, VerdictsShowOnThePageAndWhatIsStored) {
    EXPECT_EQ(saveThroughPage("groq", "https://api.groq.com/openai/v1", "", ""),
              (json{{"text", "A model name is required."}, {"ok", false}}));
    // Every other refusal takes the same road; the bridge's own tests list them.
    EXPECT_EQ(keyFile(), "") << "nothing is stored by a refused save";

    secrets_.refuse = true;
    EXPECT_EQ(saveThroughPage("groq", "https://api.groq.com/openai/v1", "llama", "gsk-1"),
              (json{{"text", "Could not save the key to the keyring."}, {"ok", false}}));
    EXPECT_EQ(keyFile(), "");
    secrets_.refuse = false;

    EXPECT_EQ(
        saveThroughPage("groq", " https://api.groq.com/openai/v1 ", "llama-3.3-70b-versatile", " gsk-42 "),
        (json{{"text", "Saved. New explanations use this connection."}, {"ok", true}}));
    EXPECT_EQ(secrets_.real.read(secrets_.scoped(APIKeyStore::service), "groq").valueOr(std::nullopt),
              "gsk-42");
    const std::string stored = keyFile();
    EXPECT_NE(stored.find("[ulvo]"), std::string::npos) << stored;
    EXPECT_NE(stored.find("modelProvider=groq"), std::string::npos) << stored;
    EXPECT_NE(stored.find("modelBaseURL=https://api.groq.com/openai/v1\n"), std::string::npos) << stored;

    // A reload sees what was stored.
    js("window.beforeReload = true");
    webkit_web_view_reload(window_->page().view());
    ASSERT_TRUE(pumpUntil([this] {
        return js("!window.beforeReload && !!document.getElementById('provider') &&"
                  "document.getElementById('provider').value") == "groq";
    }));
    EXPECT_EQ(js("document.getElementById('api-key').value"), "gsk-42");

    // Back to the built-in model: no key needed, and its stored key item is removed.
    EXPECT_EQ(saveThroughPage("local", "http://127.0.0.1:7332/v1", "gemma-3-1b-it", ""),
              (json{{"text", "Saved. New explanations use this connection."}, {"ok", true}}));
    EXPECT_NE(keyFile().find("modelProvider=local"), std::string::npos);
}

} // namespace
} // namespace ulvo
