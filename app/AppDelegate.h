#pragma once

#include "answer/ModelService.h"
#include "base/Lifetime.h"
#include "card/CardBridge.h"
#include "card/CardGeometry.h"
#include "card/Speaker.h"
#include "download/ModelInstaller.h"
#include "history/History.h"
#include "history/HistoryBridge.h"
#include "platform/linux/desktop/Desktop.h"
#include "platform/linux/gtk/CardPanel.h"
#include "platform/linux/gtk/HistoryWindow.h"
#include "platform/linux/gtk/SettingsWindow.h"
#include "settings-page/SettingsBridge.h"
#include "settings/LoginStart.h"
#include "settings/SelectionReading.h"

#include <gtk/gtk.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ulvo {

// The one object that owns all user-interface state, on the main thread only. It is the card page's
// bridge host. The card's page and the settings window, and with them WebKit's processes, exist only
// while needed: made at the first show (the card's as soon as a hot key is pressed or the tag shows),
// kept while shown and for webViewsIdleLimit after, then released.
class AppDelegate final : public CardHost {
public:
    static constexpr const char* applicationId = "com.zvk.ULVO";
    static constexpr std::chrono::milliseconds webViewsIdleLimit{180'000};
    // How long WebKit's processes take to end once their web context has gone.
    static constexpr std::chrono::milliseconds webProcessesEndLimit{10'000};

    // What a start of the program asks for.
    struct StartOptions {
        bool explain = false;
        bool capture = false;
        bool settings = false;
    };

    explicit AppDelegate(std::optional<std::filesystem::path> resources,
                         std::chrono::milliseconds webIdleLimit = webViewsIdleLimit);
    ~AppDelegate() override;
    // Environment variables this program set for itself, kept out of the programs it opens links with.
    void keepOutOfOpenedPrograms(std::vector<std::string> names) { ownEnvironment_ = std::move(names); }
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Connects the application's start-up, shut-down and command-line signals.
    void attach(GtkApplication* application);

    void startUp();
    void shutDown();
    // A start of the program, this one's or a later one's handed over: "--explain" and "--capture" run
    // the hot keys' actions, "--settings" opens the settings window, and a later plain start reads the
    // selection and shows the card.
    void commandLine(const StartOptions& options, bool laterStart);

    // Actions of menus, buttons and accelerators.
    void showSettings() override;
    void hidePanel() override;
    void hideApplication();
    void captureSelectionAndShow() override;
    void captureViaOCR();
    void showCardWithSelection(const std::string& text);
    void positionNearPointer();
    void sendSelection();
    // Makes the card's page (and so the web process) ahead of the card, while the text is read.
    void prepareCard();
    // Whether a web view or WebKit itself is held now.
    bool holdsWebViews() const { return engine_ != nullptr; }

    gtk::CardPanel* panel() const { return panel_.get(); }
    gtk::SettingsWindow* settingsWindow() const { return settingsController_.get(); }
    gtk::HistoryWindow* historyWindow() const { return historyWindow_.get(); }

    // The history window (made at its first showing), and a kept entry shown again in the card.
    void showHistory() override;
    void reopen(const HistoryEntry& entry);
    GtkWidget* tagWindow() const { return tagPanel_; }

    // CardHost
    void evaluateScript(const std::string& script) override;
    void copyText(const std::string& text) override;
    bool accessibilityTrusted() override;
    const std::string& pendingSelection() const override { return pendingSelection_; }
    void downloadModel() override;

private:
    class SettingsPageHost;
    class HistoryHost;

    // Start-up steps, in order.
    void holdWithoutWindows();
    void buildMenu();
    void buildPanel();
    void buildTagPanel();
    void buildStatusItem();
    // Writes or removes the login start; the status menu and the settings page follow.
    bool setStartAtLogin(bool on);
    void installBundledNativeMessagingHost();
    void registerHotKey();
    void requestAccessibilityTrust();
    void startSelectionMonitor();

    void copySelectionViaClipboard(std::function<void(std::string)> completion);
    // The built-in model's state changed (on the main thread): both pages are told.
    void modelStateChanged(const ModelInstallState& state);
    void builtInModelAction(const std::string& action);
    void chooseModelFile();
    // The settings page's history section: its state, and its messages (true when it took the message).
    void sendHistorySettings();
    bool historySettingsMessage(const nlohmann::json& body);
    void speechChanged();

    // The answer service on the real desktop: these stores, curl, the built-in runtime under the resources.
    static ModelService::Dependencies
    answerServiceDependencies(const std::optional<std::filesystem::path>& resources,
                              std::shared_ptr<PreferenceStore> preferences,
                              std::shared_ptr<SecretStore> secrets);

    GtkApplication* application_ = nullptr;
    std::optional<std::filesystem::path> resources_;
    std::shared_ptr<PreferenceStore> preferences_;
    std::shared_ptr<SecretStore> secrets_;
    std::unique_ptr<gtk::WebEngine> engine_;
    std::unique_ptr<CardBridge> cardBridge_;
    std::unique_ptr<SettingsHost> settingsHost_;
    std::unique_ptr<SettingsBridge> settingsBridge_;
    Lifetime<AppDelegate> lifetime_{this};

    // The user-interface state.
    ModelService model_;
    LoginStart loginStart_;
    std::unique_ptr<ModelInstaller> installer_;
    std::unique_ptr<gtk::CardPanel> panel_;
    GtkWidget* tagPanel_ = nullptr; // the explain tag, built with the selection monitor
    // The hot keys, their handler, the status item, the mouse monitors, the poll timer and the selection
    // monitor's state (candidate, its time, the shown tag's selection, the last trust, the mouse-down
    // location, the tag's clipboard copy) live in the capture object, which owns their platform handles.
    std::unique_ptr<desktop::Desktop> capture_;
    gtk::WebEngine& webEngine();
    // A window hid: the web views not shown are released after the idle limit, unless shown again.
    void scheduleWebViewsRelease();
    void releaseIdleWebViews();
    std::chrono::milliseconds webIdleLimit_;
    std::vector<std::string> ownEnvironment_;
    // The files mapped before WebKit first loaded: what is mapped beyond them is WebKit's.
    std::optional<std::set<std::string>> filesBeforeWebKit_;
    std::uint64_t webViewsGeneration_ = 0;
    std::string pendingSelection_;
    bool hasPlacedPanel_ = false;
    std::unique_ptr<gtk::SettingsWindow> settingsController_;
    std::unique_ptr<History> history_;
    std::unique_ptr<Speaker> speaker_;
    std::unique_ptr<HistoryPageHost> historyHost_;
    std::unique_ptr<HistoryBridge> historyBridge_;
    std::unique_ptr<gtk::HistoryWindow> historyWindow_;
};

} // namespace ulvo
