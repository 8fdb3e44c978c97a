#include "app/AppDelegate.h"

#include "answer/ModelList.h"
#include "base/InstallLayout.h"
#include "browser/NativeMessagingInstaller.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/GnomeShortcutSettings.h"
#include "platform/linux/KeyFilePreferenceStore.h"
#include "platform/linux/LibsecretStore.h"
#include "platform/linux/MappedFiles.h"
#include "platform/linux/SpeechDispatcherSpeaker.h"
#include "platform/linux/SqliteHistoryStore.h"
#include "platform/linux/SystemAnswerService.h"
#include "platform/linux/SystemLanguage.h"
#include "platform/linux/gtk/DesktopServices.h"
#include "platform/linux/gtk/MainThread.h"
#include "platform/linux/gtk/ScreenGeometry.h"
#include "platform/linux/wayland/WaylandDesktop.h"
#include "platform/linux/x11/AtspiReader.h"
#include "platform/linux/x11/StatusItem.h"
#include "platform/linux/x11/X11Desktop.h"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>

#ifndef ULVO_VERSION
#define ULVO_VERSION ""
#endif

namespace ulvo {

using glib::as;

namespace {

std::optional<std::filesystem::path> runtimeRoot(const std::optional<std::filesystem::path>& resources) {
    std::error_code error;
    if (!resources) {
        return std::nullopt;
    }
    const std::filesystem::path runtime = InstallLayout{resources->parent_path().parent_path()}.runtime();
    if (!std::filesystem::is_directory(runtime, error)) {
        return std::nullopt;
    }
    return runtime;
}

// The program the desktop's key bindings run: bin/ulvo beside the resources' share/, else ulvo on PATH.
std::string programPath(const std::optional<std::filesystem::path>& resources) {
    std::error_code error;
    if (resources) {
        const std::filesystem::path program = resources->parent_path().parent_path() / "bin" / "ulvo";
        if (std::filesystem::is_regular_file(program, error)) {
            return program.string();
        }
    }
    return "ulvo";
}

void activateAction(GSimpleAction*, GVariant*, gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
}

} // namespace

// The settings page's side of the desktop.
class AppDelegate::SettingsPageHost final : public SettingsHost {
public:
    explicit SettingsPageHost(AppDelegate& owner)
        : owner_(owner) {}
    void evaluateScript(const std::string& script) override {
        if (owner_.settingsController_) {
            owner_.settingsController_->page().evaluate(script);
        }
    }
    void openAccessibilitySettings() override { gtk::openAccessibilitySettings(); }

private:
    AppDelegate& owner_;
};

// The history page's side of the desktop.
class AppDelegate::HistoryHost final : public HistoryPageHost {
public:
    explicit HistoryHost(AppDelegate& owner)
        : owner_(owner) {}
    void evaluateScript(const std::string& script) override {
        if (owner_.historyWindow_) {
            owner_.historyWindow_->page().evaluate(script);
        }
    }
    void reopen(const HistoryEntry& entry) override { owner_.reopen(entry); }

private:
    AppDelegate& owner_;
};

namespace {

std::unique_ptr<History> makeHistory(std::shared_ptr<PreferenceStore> preferences,
                                     std::shared_ptr<SecretStore> secrets,
                                     std::function<void(const std::string&)> failed) {
    History::Options options;
    options.open = []() -> Result<std::unique_ptr<HistoryStore>> {
        Result<std::unique_ptr<SqliteHistoryStore>> opened =
            SqliteHistoryStore::open(SqliteHistoryStore::defaultPath());
        if (!opened) {
            return opened.failure();
        }
        return std::unique_ptr<HistoryStore>(std::move(opened).value());
    };
    options.preferences = preferences;
    // The connection the answer service uses now, read as it reads it.
    options.connection = [preferences, secrets] {
        const APIKeyStore keys(*secrets);
        const ModelPreferences connection = ModelPreferences::load(*preferences, keys);
        return std::pair(std::string(label(connection.provider)), connection.model);
    };
    options.toMainThread = gtk::postToMainThread;
    options.failed = std::move(failed);
    return std::make_unique<History>(std::move(options));
}

} // namespace

ModelService::Dependencies
AppDelegate::answerServiceDependencies(const std::optional<std::filesystem::path>& resources,
                                       std::shared_ptr<PreferenceStore> preferences,
                                       std::shared_ptr<SecretStore> secrets) {
    return systemAnswerServiceDependencies(runtimeRoot(resources), std::move(preferences),
                                           std::move(secrets));
}

AppDelegate::AppDelegate(std::optional<std::filesystem::path> resources,
                         std::chrono::milliseconds webIdleLimit)
    : resources_(std::move(resources))
    , preferences_(std::make_shared<KeyFilePreferenceStore>(KeyFilePreferenceStore::defaultPath()))
    , secrets_(std::make_shared<LibsecretStore>())
    , model_(answerServiceDependencies(resources_, preferences_, secrets_))
    , loginStart_(LoginStart::userFolder(), programPath(resources_))
    , webIdleLimit_(webIdleLimit) {
    ModelInstaller::Options options;
    options.runtimeRoot = runtimeRoot(resources_);
    options.transport = std::make_shared<CurlTransport>();
    options.changed = [watch = lifetime_.watch()](const ModelInstallState& state) {
        gtk::postToMainThread([watch, state] {
            if (AppDelegate* self = watch.get()) {
                self->modelStateChanged(state);
            }
        });
    };
    installer_ = std::make_unique<ModelInstaller>(std::move(options));
    history_ = makeHistory(preferences_, secrets_, [watch = lifetime_.watch()](const std::string& message) {
        if (AppDelegate* self = watch.get(); self != nullptr && self->cardBridge_) {
            self->cardBridge_->historyFailed(message);
        }
    });
}

AppDelegate::~AppDelegate() {
    // Windows destroyed from here on hide, and their hide handlers must not reach this object.
    if (panel_) {
        g_signal_handlers_disconnect_by_data(panel_->window(), this);
    }
    if (settingsController_) {
        g_signal_handlers_disconnect_by_data(settingsController_->window(), this);
    }
    if (historyWindow_) {
        g_signal_handlers_disconnect_by_data(historyWindow_->window(), this);
    }
}

void AppDelegate::modelStateChanged(const ModelInstallState& state) {
    if (settingsController_) {
        settingsController_->page().evaluate(settingsModelStateScript(state));
    }
    cardBridge_->callJavaScript("modelState", builtInModelPayload(state));
}

void AppDelegate::downloadModel() {
    installer_->download();
}

void AppDelegate::builtInModelAction(const std::string& action) {
    if (action == "download") {
        installer_->download();
    } else if (action == "cancel") {
        installer_->cancel();
    } else if (action == "remove") {
        installer_->remove();
    } else if (action == "file") {
        chooseModelFile();
    }
}

void AppDelegate::chooseModelFile() {
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        "Use a model file", settingsController_ ? settingsController_->window() : nullptr,
        GTK_FILE_CHOOSER_ACTION_OPEN, "Use", "Cancel");
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, "GGUF models");
    gtk_file_filter_add_pattern(filter, "*.gguf");
    gtk_file_chooser_add_filter(as<GtkFileChooser>(chooser), filter);
    // The chooser is modal to Settings but not to the program: the answer comes as a signal.
    using Watch = Lifetime<AppDelegate>::Watch;
    glib::connectOwning(
        chooser, "response",
        +[](GtkNativeDialog* dialog, gint response, gpointer data) {
            if (response == GTK_RESPONSE_ACCEPT) {
                glib::GCharPtr file(gtk_file_chooser_get_filename(as<GtkFileChooser>(dialog)));
                AppDelegate* self = static_cast<Watch*>(data)->get();
                if (self != nullptr && file) {
                    self->installer_->useFile(file.get());
                }
            }
            g_object_unref(dialog); // the connection, and its data, end with the dialog
        },
        lifetime_.watch());
    gtk_native_dialog_show(as<GtkNativeDialog>(chooser));
}

void AppDelegate::attach(GtkApplication* application) {
    application_ = application;
    struct Handlers {
        static void startup(GApplication*, gpointer data) { static_cast<AppDelegate*>(data)->startUp(); }
        static void shutdown(GApplication*, gpointer data) { static_cast<AppDelegate*>(data)->shutDown(); }
        static int commandLine(GApplication*, GApplicationCommandLine* line, gpointer data) {
            GVariantDict* given = g_application_command_line_get_options_dict(line);
            StartOptions options;
            options.explain = g_variant_dict_contains(given, "explain") != FALSE;
            options.capture = g_variant_dict_contains(given, "capture") != FALSE;
            options.settings = g_variant_dict_contains(given, "settings") != FALSE;
            static_cast<AppDelegate*>(data)->commandLine(
                options, g_application_command_line_get_is_remote(line) != FALSE);
            return 0;
        }
    };
    // Parsed by the starting process itself, so --help and unknown options never reach a running one.
    static const GOptionEntry options[] = {
        {"explain", 0, 0, G_OPTION_ARG_NONE, nullptr, "Explain the current selection (the Alt+E action)",
         nullptr},
        {"capture", 0, 0, G_OPTION_ARG_NONE, nullptr,
         "Explain the text of a screen region (the Alt+Shift+E action)", nullptr},
        {"settings", 0, 0, G_OPTION_ARG_NONE, nullptr, "Open Settings", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
    g_application_add_main_option_entries(as<GApplication>(application), options);
    glib::connect(application, "startup", &Handlers::startup, this, true);
    glib::connect(application, "shutdown", &Handlers::shutdown, this);
    glib::connect(application, "command-line", &Handlers::commandLine, this);
}

void AppDelegate::startUp() {
    history_->pruneOld();
    // The speech service is looked for away from the main thread; the card and Settings follow its answer.
    speaker_ = std::make_unique<SpeechDispatcherSpeaker>([watch = lifetime_.watch()] {
        gtk::postToMainThread([watch] {
            if (AppDelegate* self = watch.get()) {
                self->speechChanged();
            }
        });
    });
    holdWithoutWindows();
    buildMenu();
    buildPanel();
    buildTagPanel();
    buildStatusItem();
    installBundledNativeMessagingHost();
    registerHotKey();
    requestAccessibilityTrust();
    startSelectionMonitor();
    // A built-in server left running by an earlier session gets the usual system prompt cached.
    model_.prepare(defaultLevel);
}

void AppDelegate::shutDown() {
    // Hot keys, their handler, the mouse monitors and the poll are released here once they exist;
    // windows and a started local model server are left to the system.
    if (capture_) {
        capture_->stop();
    }
}

void AppDelegate::commandLine(const StartOptions& options, bool laterStart) {
    // The hot keys' actions, for the desktop's own key bindings where no global hot key can be had.
    if (options.explain || (laterStart && !options.capture && !options.settings)) {
        captureSelectionAndShow();
    } else if (options.capture) {
        captureViaOCR();
    } else if (options.settings) {
        showSettings();
    }
}

void AppDelegate::holdWithoutWindows() {
    // No task-bar entry: the windows skip the task bar, and the process lives on with no window shown.
    g_application_hold(as<GApplication>(application_));
}

void AppDelegate::buildMenu() {
    struct Action {
        const char* name;
        std::function<void()> run;
        std::vector<const char*> accels;
    };
    auto* self = this;
    static const auto noAccel = std::vector<const char*>{};
    const Action actions[] = {
        {"about",
         [self] {
             GtkWindow* parent = self->panel_ && self->panel_->isVisible() ? self->panel_->window() : nullptr;
             gtk_show_about_dialog(parent, "program-name", "ULVO", "version", ULVO_VERSION, "comments",
                                   "Explains the text you select.", nullptr);
         },
         noAccel},
        {"hide", [self] { self->hideApplication(); }, {"<Primary>h"}},
        {"quit", [self] { g_application_quit(as<GApplication>(self->application_)); }, {"<Primary>q"}},
        {"settings", [self] { self->showSettings(); }, {"<Primary>comma"}},
        {"explain", [self] { self->captureSelectionAndShow(); }, noAccel},
        {"capture", [self] { self->captureViaOCR(); }, noAccel},
    };
    for (const Action& action : actions) {
        const glib::GObjectPtr<GSimpleAction> simple(g_simple_action_new(action.name, nullptr));
        glib::connectOwning(simple.get(), "activate", &activateAction, action.run);
        g_action_map_add_action(as<GActionMap>(application_), as<GAction>(simple.get()));
        if (!action.accels.empty()) {
            std::vector<const char*> accels = action.accels;
            accels.push_back(nullptr);
            const std::string detailed = std::string("app.") + action.name;
            gtk_application_set_accels_for_action(application_, detailed.c_str(), accels.data());
        }
    }

    glib::GObjectPtr<GMenu> menu(g_menu_new());
    glib::GObjectPtr<GMenu> about(g_menu_new());
    g_menu_append(about.get(), "About ULVO", "app.about");
    glib::GObjectPtr<GMenu> session(g_menu_new());
    g_menu_append(session.get(), "Hide ULVO", "app.hide");
    g_menu_append(session.get(), "Quit ULVO", "app.quit");
    g_menu_append_section(menu.get(), nullptr, as<GMenuModel>(about.get()));
    g_menu_append_section(menu.get(), nullptr, as<GMenuModel>(session.get()));
    gtk_application_set_app_menu(application_, as<GMenuModel>(menu.get()));
}

void AppDelegate::buildPanel() {
    gtk::CardPanel::Callbacks callbacks;
    callbacks.headerPressed = [this] {
        hasPlacedPanel_ = true;
        evaluateScript(focusResetScript);
    };
    callbacks.closeClicked = [this] { hidePanel(); };
    callbacks.page.message = [this](const nlohmann::json& body) {
        cardBridge_->didReceiveScriptMessage(body);
    };
    callbacks.page.loadFinished = [this] {
        cardBridge_->didFinishNavigation(panel_->isVisible());
        cardBridge_->callJavaScript("modelState", builtInModelPayload(installer_->state()));
    };
    callbacks.page.openExternally = [this](const std::string& uri) {
        gtk::openExternally(uri, ownEnvironment_);
    };
    callbacks.pageMade = [this](gtk::PageView& page) {
        if (resources_) {
            page.load(*resources_ / "Web" / "index.html");
        }
    };
    panel_ = std::make_unique<gtk::CardPanel>(
        application_, [this]() -> gtk::WebEngine& { return webEngine(); }, std::move(callbacks));
    glib::connect(
        panel_->window(), "hide",
        +[](GtkWidget*, gpointer self) { static_cast<AppDelegate*>(self)->scheduleWebViewsRelease(); }, this);

    CardAnswers answers;
    answers.explain = [this](std::string text, std::optional<std::string> question, Level level,
                             std::function<void(ExplainResult)> completion,
                             std::function<void(const std::string&)> partial) {
        model_.explain(std::move(text), std::move(question), level, std::move(completion),
                       std::move(partial));
    };
    answers.cancel = [this] { model_.cancel(); };
    answers.prepare = [this](Level level) { model_.startEarly(level); };
    cardBridge_ = std::make_unique<CardBridge>(*this, std::move(answers), gtk::postToMainThread);
    cardBridge_->setKeeper(
        [this](const std::string& text, Level level, const std::optional<std::string>& question,
               const std::string& answer) { history_->keep(text, level, question, answer); });
    cardBridge_->setSpeaker(speaker_.get(), [] { return systemResponseLanguage(); });
}

void AppDelegate::speechChanged() {
    cardBridge_->speechChanged();
    if (settingsController_) {
        settingsController_->page().evaluate(historySettingsScript(
            "speech", {{"speechNote", speaker_ ? speaker_->unavailableReason() : std::string()}}));
    }
}

void AppDelegate::sendHistorySettings() {
    history_->settings([watch = lifetime_.watch()](HistorySettings settings) {
        AppDelegate* self = watch.get();
        if (self != nullptr && self->settingsController_) {
            const std::string note = self->speaker_
                                         ? self->speaker_->unavailableReason()
                                         : std::string("Read aloud is not set up in this program.");
            self->settingsController_->page().evaluate(
                historySettingsScript("init", historySettingsPayload(settings, note)));
        }
    });
}

bool AppDelegate::historySettingsMessage(const nlohmann::json& body) {
    const auto action = body.is_object() ? body.find("action") : body.end();
    if (action == body.end() || !action->is_string()) {
        return false;
    }
    if (*action == "open-history") {
        showHistory();
        return true;
    }
    if (*action != "history-settings") {
        return false;
    }
    const auto reply = [watch = lifetime_.watch()](bool ok, const std::string& message) {
        AppDelegate* self = watch.get();
        if (self != nullptr && self->settingsController_) {
            self->settingsController_->page().evaluate(
                historySettingsScript("saved", {{"ok", ok}, {"message", message}}));
        }
    };
    const std::optional<HistorySettings> settings = HistorySettings::fromPage(body);
    if (!settings) {
        reply(false,
              "Enter a whole number of days from 1 to " + std::to_string(HistorySettings::maximumDays) + ".");
        return true;
    }
    history_->setSettings(*settings, [reply](bool saved) {
        reply(saved, saved ? "" : "The settings file cannot be written.");
    });
    return true;
}

void AppDelegate::showHistory() {
    if (!historyBridge_) {
        historyHost_ = std::make_unique<HistoryHost>(*this);
        historyBridge_ = std::make_unique<HistoryBridge>(*historyHost_, *history_);
    }
    if (!historyWindow_) {
        gtk::PageView::Callbacks callbacks;
        callbacks.message = [this](const nlohmann::json& body) {
            historyBridge_->didReceiveScriptMessage(body);
        };
        historyWindow_ = std::make_unique<gtk::HistoryWindow>(application_, webEngine(), std::move(callbacks),
                                                              panel_->hasPage() ? &panel_->page() : nullptr);
        glib::connect(
            historyWindow_->window(), "hide",
            +[](GtkWidget*, gpointer self) { static_cast<AppDelegate*>(self)->scheduleWebViewsRelease(); },
            this);
        if (resources_) {
            historyWindow_->page().load(*resources_ / "Web" / "history.html");
        }
    } else {
        // Shown again: what was kept since is listed.
        historyWindow_->page().evaluate("window.ULVOHistory && window.ULVOHistory.refresh()");
    }
    historyWindow_->present();
}

void AppDelegate::reopen(const HistoryEntry& entry) {
    history_->reopened(entry.id, entry.selection);
    pendingSelection_ = entry.selection;
    cardBridge_->showStored(historyEntryPayload(entry));
    showCardWithSelection({});
}

gtk::WebEngine& AppDelegate::webEngine() {
    if (!engine_) {
        if (!filesBeforeWebKit_) {
            filesBeforeWebKit_ = mappedFiles();
        }
        Result<std::unique_ptr<gtk::WebEngine>> engine = gtk::loadWebEngine();
        if (!engine) {
            // An installation without its web module cannot show a card or Settings at all.
            g_printerr("ulvo: %s\n", engine.failure().message.c_str());
            std::exit(EXIT_FAILURE);
        }
        engine_ = std::move(engine).value();
    }
    return *engine_;
}

void AppDelegate::prepareCard() {
    panel_->page();
    // A tag the user never clicks shows no card, so no hide would ever let the page go.
    if (!panel_->isVisible()) {
        scheduleWebViewsRelease();
    }
}

void AppDelegate::scheduleWebViewsRelease() {
    const std::uint64_t generation = ++webViewsGeneration_;
    gtk::runOnMainThreadAfter(webIdleLimit_, [watch = lifetime_.watch(), generation] {
        if (AppDelegate* self = watch.get(); self != nullptr && self->webViewsGeneration_ == generation) {
            self->releaseIdleWebViews();
        }
    });
}

void AppDelegate::releaseIdleWebViews() {
    const bool cardShown = panel_ && panel_->isVisible();
    const bool settingsShown = settingsController_ && settingsController_->isVisible();
    if (!cardShown && panel_) {
        panel_->releasePage();
    }
    if (!settingsShown) {
        settingsController_.reset();
    }
    if (historyWindow_ && !historyWindow_->isVisible()) {
        g_signal_handlers_disconnect_by_data(historyWindow_->window(), this);
        historyWindow_.reset();
    }
    // The web context goes last, with the views that used it: its network process ends with it.
    if ((!panel_ || !panel_->hasPage()) && !settingsController_ && !historyWindow_) {
        engine_.reset();
    }
    // What the views freed goes back to the system rather than waiting in the allocator's free lists.
    ::malloc_trim(0);
    if (engine_) {
        return;
    }
    // WebKit's libraries cannot be unloaded; their pages leave memory until a page needs them again.
    // Not at once: the kernel keeps pages that the web processes, ending now, still map.
    gtk::runOnMainThreadAfter(webProcessesEndLimit, [watch = lifetime_.watch()] {
        if (AppDelegate* self = watch.get(); self != nullptr && !self->engine_ && self->filesBeforeWebKit_) {
            pageOutFilesExcept(*self->filesBeforeWebKit_);
        }
    });
}

void AppDelegate::buildTagPanel() {
    desktop::DesktopCard card;
    card.showCardWithSelection = [this](const std::string& text) { showCardWithSelection(text); };
    card.setPendingSelection = [this](const std::string& text) {
        pendingSelection_ = text;
        cardBridge_->forgetStored();
    };
    card.setAccessibility = [this](bool trusted) { cardBridge_->setAccessibility(trusted); };
    card.showSettings = [this] { showSettings(); };
    card.showHistory = [this] { showHistory(); };
    card.terminate = [this] { g_application_quit(as<GApplication>(application_)); };
    card.cardHasFocus = [this] { return gtk_window_is_active(panel_->window()) != FALSE; };
    card.startAtLogin = [this] { return loginStart_.enabled(); };
    card.prepareCard = [this] { prepareCard(); };
    card.setStartAtLogin = [this](bool on) { setStartAtLogin(on); };
    // The session chooses the desktop: nothing of X11 is used on Wayland.
    if (currentSession() == SessionKind::wayland) {
        capture_ = std::make_unique<wayland::WaylandDesktop>(std::move(card));
    } else {
        capture_ = std::make_unique<x11::X11Desktop>(std::move(card));
    }
    capture_->buildTagPanel();
    tagPanel_ = capture_->tagWindow();
}

bool AppDelegate::setStartAtLogin(bool on) {
    const bool changed = loginStart_.set(on);
    if (capture_) {
        capture_->refreshStartAtLogin();
    }
    if (settingsBridge_) {
        settingsBridge_->startAtLoginChanged();
    }
    return changed;
}

void AppDelegate::buildStatusItem() {
    // <prefix>/share/icons: the hicolor theme with PNGs at the usual sizes, so showing the icon loads no
    // SVG renderer (about 6 MB) into a program that waits.
    capture_->buildStatusItem(resources_ ? std::optional(resources_->parent_path() / "icons") : std::nullopt);
}

void AppDelegate::installBundledNativeMessagingHost() {
    ulvo::installBundledNativeMessagingHost(runtimeRoot(resources_));
}

void AppDelegate::registerHotKey() {
    capture_->registerHotKey();
}

void AppDelegate::requestAccessibilityTrust() {
    if (readsThroughAccessibility(*preferences_)) {
        capture_->requestAccessibilityTrust();
    } else {
        capture_->setReadThroughAccessibility(false);
    }
}

void AppDelegate::startSelectionMonitor() {
    capture_->startSelectionMonitor();
}

void AppDelegate::showSettings() {
    // The bridge is kept (its worker may be waiting on the keyring); the window comes and goes.
    if (!settingsBridge_) {
        SettingsBridge::Options options;
        options.preferences = preferences_.get();
        options.secrets = secrets_.get();
        options.version = ULVO_VERSION;
        options.localModel = [root = runtimeRoot(resources_)] { return describeLocalModel(root); };
        if (onGnomeDesktop()) {
            options.addGnomeShortcuts = [program = programPath(resources_)] {
                const std::unique_ptr<GnomeShortcutSettings> settings = GnomeShortcutSettings::open();
                return settings ? addGnomeShortcuts(*settings, program)
                                : std::string("GNOME's keyboard settings are not installed.");
            };
        }
        options.sessionNotes = [this] {
            return capture_ ? capture_->unavailableCapabilities() : std::vector<std::string>{};
        };
        options.hotKeyNote = [this] { return capture_ ? capture_->hotKeyNote() : std::string(); };
        options.builtInModel = [this] { return builtInModelPayload(installer_->state()); };
        options.builtInModelAction = [this](const std::string& action) { builtInModelAction(action); };
        options.listModels = [transport = std::make_shared<CurlTransport>()](
                                 ModelProvider provider, const std::string& baseURL, const std::string& key) {
            return providerModels(*transport, {provider, baseURL, key}); // on the bridge's one worker
        };
        options.startAtLogin = [this] { return loginStart_.enabled(); };
        options.setStartAtLogin = [this](bool on) { return setStartAtLogin(on); };
        options.readThroughAccessibility = [this] {
            return capture_ && capture_->readsThroughAccessibility();
        };
        options.setReadThroughAccessibility = [this](bool on) {
            if (!setReadsThroughAccessibility(*preferences_, on)) {
                return false;
            }
            if (capture_) {
                capture_->setReadThroughAccessibility(on);
            }
            return true;
        };
        options.toMainThread = gtk::postToMainThread;
        settingsHost_ = std::make_unique<SettingsPageHost>(*this);
        settingsBridge_ = std::make_unique<SettingsBridge>(*settingsHost_, std::move(options));
    }
    if (!settingsController_) {
        gtk::PageView::Callbacks callbacks;
        callbacks.message = [this](const nlohmann::json& body) {
            if (!historySettingsMessage(body)) {
                settingsBridge_->didReceiveScriptMessage(body);
            }
        };
        callbacks.loadFinished = [this] {
            settingsBridge_->didFinishNavigation();
            sendHistorySettings();
        };
        callbacks.openExternally = [this](const std::string& uri) {
            gtk::openExternally(uri, ownEnvironment_);
        };
        settingsController_ = std::make_unique<gtk::SettingsWindow>(
            application_, webEngine(), std::move(callbacks), panel_->hasPage() ? &panel_->page() : nullptr);
        glib::connect(
            settingsController_->window(), "hide",
            +[](GtkWidget*, gpointer self) { static_cast<AppDelegate*>(self)->scheduleWebViewsRelease(); },
            this);
        if (resources_) {
            settingsController_->page().load(*resources_ / "Web" / "settings.html");
        }
    }
    settingsController_->present();
}

void AppDelegate::hidePanel() {
    if (panel_->isVisible()) {
        cardBridge_->cardClosed();
    }
    panel_->hide();
}

void AppDelegate::hideApplication() {
    hidePanel();
    if (settingsController_) {
        settingsController_->hide();
    }
    if (historyWindow_) {
        historyWindow_->hide();
    }
}

void AppDelegate::captureSelectionAndShow() {
    if (capture_) {
        capture_->captureSelectionAndShow();
    }
}

void AppDelegate::captureViaOCR() {
    if (capture_) {
        capture_->captureViaOCR();
    }
}

void AppDelegate::copySelectionViaClipboard(std::function<void(std::string)> completion) {
    if (capture_) {
        capture_->copySelectionViaClipboard(std::move(completion));
    } else {
        completion({});
    }
}

void AppDelegate::showCardWithSelection(const std::string& text) {
    if (!text.empty()) {
        pendingSelection_ = text;
        cardBridge_->forgetStored();
    }
    if (!hasPlacedPanel_) {
        positionNearPointer();
        hasPlacedPanel_ = true;
    }
    if (tagPanel_ != nullptr) {
        gtk_widget_hide(tagPanel_);
    }
    panel_->page();
    if (!panel_->isVisible()) {
        cardBridge_->cardOpened();
        cardBridge_->callJavaScript("modelState", builtInModelPayload(installer_->state()));
    }
    panel_->present();
    sendSelection();
}

void AppDelegate::positionNearPointer() {
    const gtk::ScreenGeometry geometry(gtk_widget_get_display(as<GtkWidget>(panel_->window())));
    const Rect frame = panel_->frame();
    // Where the pointer cannot be known (Wayland), beside the selection where the compositor says where
    // it is, else in the middle of the screen.
    const std::optional<Point> near = geometry.knowsPointer() ? std::optional<Point>(geometry.pointer())
                                      : capture_              ? capture_->selectionCorner()
                                                              : std::nullopt;
    const std::optional<Point> origin =
        near ? ulvo::positionNearPointer(geometry.screens(), geometry.mainScreen(), *near, frame.width,
                                         frame.height)
             : centeredOnMainScreen(geometry.screens(), geometry.mainScreen(), frame.width, frame.height);
    if (origin) {
        panel_->setOrigin(*origin);
    }
}

void AppDelegate::sendSelection() {
    cardBridge_->sendSelection();
}

void AppDelegate::evaluateScript(const std::string& script) {
    // Without a page nothing is lost: a page made later gets the state when it has loaded.
    if (panel_->hasPage()) {
        panel_->page().evaluate(script);
    }
}

void AppDelegate::copyText(const std::string& text) {
    gtk::copyToClipboard(text);
}

bool AppDelegate::accessibilityTrusted() {
    return x11::accessibilityEnabled();
}

} // namespace ulvo
