#pragma once

#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/WidgetPtr.h"

#include <gtk/gtk.h>

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace ulvo::x11 {

// The status menu, top to bottom. An empty title is a separator; an entry without an action is a
// disabled line; the accelerator is shown beside the title; a check entry shows a state.
struct StatusMenuEntry {
    const char* title;
    const char* action;
    const char* accelerator;
    bool check = false;
};
inline constexpr std::array<StatusMenuEntry, 10> statusMenuEntries = {{
    {"Explain Selection", "statusExplain", nullptr},
    {"Capture Text from Image…", "statusCapture", nullptr},
    {"", nullptr, nullptr},
    {"Alt+E  explain   ·   Alt+Shift+E  capture image", nullptr, nullptr},
    {"", nullptr, nullptr},
    {"History…", "showHistory", nullptr},
    {"Settings…", "showSettings", "<Primary>comma"},
    {"Start ULVO at login", "toggleStartAtLogin", nullptr, true},
    {"", nullptr, nullptr},
    {"Quit ULVO", "terminate", "<Primary>q"},
}};

inline constexpr const char* statusItemTooltip = "ULVO";
inline constexpr const char* statusIconName = "com.zvk.ULVO";

// The status notifier item (ayatana-appindicator) with the status menu.
class StatusItem {
public:
    struct Actions {
        std::function<void()> statusExplain;
        std::function<void()> statusCapture;
        std::function<void()> showSettings;
        std::function<void()> showHistory;
        std::function<void()> terminate;
        // The login start's state, and its switch; the entry follows what the switch leaves.
        std::function<bool()> startAtLogin;
        std::function<void(bool on)> setStartAtLogin;
    };

    // iconThemePath: a directory laid out as an icon theme that holds the program's icon.
    // trayFallback: without a status notifier host, show an old-style tray icon where the desktop has a
    // tray (X11 only).
    StatusItem(Actions actions, const std::optional<std::filesystem::path>& iconThemePath,
               bool trayFallback = true);
    ~StatusItem();
    StatusItem(const StatusItem&) = delete;
    StatusItem& operator=(const StatusItem&) = delete;

    GtkMenu* menu() const { return glib::as<GtkMenu>(menu_.get()); }
    // Shows the login start's current state (changed elsewhere, or at each opening of the menu).
    void refreshStartAtLogin();
    // Whether a status notifier host shows the item (known once the session bus has answered).
    bool shown() const { return shown_; }

private:
    static void activated(GtkMenuItem* item, gpointer data);
    static void connectionChanged(GObject*, gboolean connected, gpointer data);
    static void reportNoHost();

    Actions actions_;
    gtk::WidgetPtr menu_;
    GtkWidget* loginItem_ = nullptr;
    bool refreshing_ = false;
    glib::GObjectPtr<GObject> indicator_;
    glib::GObjectPtr<GtkAccelGroup> accelerators_;
    bool shown_ = false;
    bool reported_ = false;
    glib::SourceId hostCheck_;
};

} // namespace ulvo::x11
