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
        SettingsBridge::Options options;
        options.preferences = &preferences_;
        options.secrets = &secrets_;
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
        callbacks.message = [this](const json& body) { bridge_->didReceiveScriptMessage(body); };
        callbacks.loadFinished = [this] { bridge_->didFinishNavigation(); };
        window_ = std::make_unique<gtk::SettingsWindow>(nullptr, *engine_, callbacks, nullptr);
        window_->page().load(std::filesystem::path(ULVO_TEST_WEB_DIR) / "settings.html");
        window_->present();
        // The provider list is filled from the bridge's first answer.
        ASSERT_TRUE(pumpUntil(
            [this] { return js("document.getElementById('provider')?.options.length > 0") == true; }, 30s));
    }

    void TearDown() override {
        for (ModelProvider provider : allModelProviders) {
            (void)secrets_.remove(APIKeyStore::service, std::string(rawValue(provider)));
        }
    }

    void evaluateScript(const std::string& script) override { window_->page().evaluate(script); }
    void openAccessibilitySettings() override {}

    json js(const std::string& expression) { return evaluate(window_->page().view(), expression); }
    json property(const std::string& id, const std::string& name) {
        return js("document.getElementById('" + id + "')." + name);
    }
    void click(const std::string& id) { property(id, "click()"); }

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
        pumpUntil([this] { return property("verdict", "textContent") != ""; });
        return js("({text: document.getElementById('verdict').textContent,"
                  "ok: document.getElementById('verdict').classList.contains('ok')})");
    }

    std::unique_ptr<gtk::WebEngine> engine_ = gtk::loadWebEngine().value();
    ScratchFolder directory_;
    KeyFilePreferenceStore preferences_{(directory_ / "preferences.ini").string()};
    ScopedKeyring secrets_{"settings-window-" + std::to_string(getpid())};
    std::unique_ptr<SettingsBridge> bridge_;
    std::unique_ptr<gtk::SettingsWindow> window_;
    int shortcutRequests_ = 0;
    std::vector<std::string> modelActions_;
};

TEST_F(SettingsWindowTest, ThePageAnswersItsControlsAndShowsWhatItIsTold) {
    EXPECT_EQ(property("local-state", "textContent"),
              "Runtime present, model file missing: install a model with ulvo-install-model.");

    // Choosing a cloud provider shows its defaults and a hidden key with a reveal toggle.
    js("(() => { const p = document.getElementById('provider'); p.value = 'groq';"
       "p.dispatchEvent(new Event('change', {bubbles: true})); })()");
    EXPECT_EQ(property("base-url", "value"), "https://api.groq.com/openai/v1");
    EXPECT_EQ(property("api-key", "type"), "password");

    // What the session lacks, and GNOME's shortcuts added only when the button is pressed.
    EXPECT_EQ(property("session-notes", "textContent"), "The explain tag is unavailable: a reason.");
    EXPECT_EQ(shortcutRequests_, 0);
    click("add-gnome-shortcuts");
    ASSERT_TRUE(pumpUntil([this] {
        return property("shortcuts-result", "textContent") ==
               "Alt+E now runs ULVO. Alt+Shift+E now runs ULVO.";
    }));

    // The built-in model: its buttons, and each state pushed while a download runs.
    click("model-download");
    ASSERT_TRUE(pumpUntil([this] { return modelActions_ == std::vector<std::string>{"download"}; }));
    ModelInstallState downloading;
    downloading.phase = ModelInstallState::Phase::downloading;
    downloading.name = "Test model";
    downloading.bytes = 806000000;
    downloading.progress = {201500000, 806000000};
    downloading.bytesPerSecond = 5e6;
    evaluateScript(settingsModelStateScript(downloading));
    ASSERT_TRUE(pumpUntil([this] {
        return property("model-status", "textContent") ==
               "Downloading Test model: 25% (202 MB of 806 MB), 5.0 MB/s, 2 min left.";
    }));
    click("model-cancel");
    ASSERT_TRUE(pumpUntil([this] { return modelActions_.size() == 2 && modelActions_.back() == "cancel"; }));

    EXPECT_TRUE(screenshot(std::filesystem::path(ULVO_TEST_SCREENSHOT_DIR) / "settings.png",
                           screenRect(gtk_widget_get_toplevel(window_->page().widget())), 0));
}

TEST_F(SettingsWindowTest, VerdictsShowOnThePageAndWhatIsStored) {
    // Refusals are the bridge's test; here a saved connection, and where each part of it is kept.
    EXPECT_EQ(
        saveThroughPage("groq", " https://api.groq.com/openai/v1 ", "llama-3.3-70b-versatile", " gsk-42 "),
        (json{{"text", "Saved. New explanations use this connection."}, {"ok", true}}));
    EXPECT_EQ(readFile(directory_ / "preferences.ini").find("gsk-42"), std::string::npos)
        << "the key is the keyring's alone";

    // A reload reads the provider back from the key file and the key from the keyring.
    js("window.beforeReload = true");
    webkit_web_view_reload(window_->page().view());
    ASSERT_TRUE(pumpUntil([this] {
        return js("!window.beforeReload && !!document.getElementById('provider') &&"
                  "document.getElementById('provider').value") == "groq";
    }));
    EXPECT_EQ(property("api-key", "value"), "gsk-42");
}

} // namespace
} // namespace ulvo
