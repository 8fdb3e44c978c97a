#include "platform/linux/x11/StatusItem.h"

#include <libayatana-appindicator/app-indicator.h>

#include <cstdio>
#include <cstring>

namespace ulvo::x11 {

using glib::as;

namespace {

// An indicator that never falls back to a GtkStatusIcon: in a Wayland session there is no tray for one,
// and GTK only complains when it tries.
GType indicatorWithoutFallback() {
    static const GType type = g_type_register_static_simple(
        APP_INDICATOR_TYPE, "UlvoIndicatorWithoutFallback", sizeof(AppIndicatorClass),
        [](gpointer klass, gpointer) {
            auto* indicator = static_cast<AppIndicatorClass*>(klass);
            indicator->fallback = nullptr;
            indicator->unfallback = nullptr;
        },
        sizeof(AppIndicator), nullptr, GTypeFlags{});
    return type;
}

} // namespace

StatusItem::StatusItem(Actions actions, const std::optional<std::filesystem::path>& iconThemePath,
                       bool trayFallback)
    : actions_(std::move(actions))
    , accelerators_(gtk_accel_group_new()) {
    menu_.reset(gtk_menu_new());
    g_object_ref_sink(menu_.get());
    gtk_menu_set_accel_group(as<GtkMenu>(menu_.get()), accelerators_.get());
    for (const StatusMenuEntry& entry : statusMenuEntries) {
        GtkWidget* item = nullptr;
        if (std::strlen(entry.title) == 0) {
            item = gtk_separator_menu_item_new();
        } else {
            item = entry.check ? gtk_check_menu_item_new_with_label(entry.title)
                               : gtk_menu_item_new_with_label(entry.title);
            if (entry.check) {
                loginItem_ = item;
            }
            if (entry.action == nullptr) {
                gtk_widget_set_sensitive(item, FALSE);
            } else {
                g_object_set_data(as<GObject>(item), "ulvo-action", const_cast<char*>(entry.action));
                glib::connect(item, "activate", &StatusItem::activated, this);
            }
            if (entry.accelerator != nullptr) {
                guint key = 0;
                GdkModifierType modifiers{};
                gtk_accelerator_parse(entry.accelerator, &key, &modifiers);
                gtk_widget_add_accelerator(item, "activate", accelerators_.get(), key, modifiers,
                                           GTK_ACCEL_VISIBLE);
            }
        }
        gtk_menu_shell_append(as<GtkMenuShell>(menu_.get()), item);
        gtk_widget_show(item);
    }

    refreshStartAtLogin();
    glib::connect(
        menu_.get(), "show",
        +[](GtkWidget*, gpointer data) { static_cast<StatusItem*>(data)->refreshStartAtLogin(); }, this);

    AppIndicator* indicator =
        trayFallback ? app_indicator_new("ulvo", statusIconName, APP_INDICATOR_CATEGORY_APPLICATION_STATUS)
                     : static_cast<AppIndicator*>(g_object_new(indicatorWithoutFallback(), "id", "ulvo",
                                                               "category", "ApplicationStatus", "icon-name",
                                                               statusIconName, nullptr));
    indicator_.reset(as<GObject>(indicator));
    if (iconThemePath) {
        app_indicator_set_icon_theme_path(indicator, iconThemePath->c_str());
        app_indicator_set_icon_full(indicator, statusIconName, statusItemTooltip);
    }
    // Status notifier hosts show the title as the item's tooltip.
    app_indicator_set_title(indicator, statusItemTooltip);
    app_indicator_set_menu(indicator, as<GtkMenu>(menu_.get()));
    app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
    glib::connect(indicator, "connection-changed", &StatusItem::connectionChanged, this);
    // A host that never answers sends no signal, so the item's state is looked at once after start-up.
    hostCheck_.reset(g_timeout_add_seconds(
        3,
        [](gpointer data) -> gboolean {
            auto* self = static_cast<StatusItem*>(data);
            self->hostCheck_.forget();
            gboolean connected = FALSE;
            g_object_get(self->indicator_.get(), "connected", &connected, nullptr);
            self->shown_ = connected != FALSE;
            if (!self->shown_ && !self->reported_) {
                self->reported_ = true;
                reportNoHost();
            }
            return G_SOURCE_REMOVE;
        },
        this));
}

StatusItem::~StatusItem() {
    hostCheck_.reset();
    if (indicator_) {
        g_signal_handlers_disconnect_by_data(indicator_.get(), this);
    }
    // Before the accelerator group goes: the menu's labels still point at its closures.
    menu_.reset();
}

void StatusItem::refreshStartAtLogin() {
    if (loginItem_ == nullptr) {
        return;
    }
    refreshing_ = true;
    gtk_widget_set_visible(loginItem_, actions_.startAtLogin && actions_.setStartAtLogin);
    gtk_check_menu_item_set_active(as<GtkCheckMenuItem>(loginItem_),
                                   actions_.startAtLogin && actions_.startAtLogin() ? TRUE : FALSE);
    refreshing_ = false;
}

void StatusItem::activated(GtkMenuItem* item, gpointer data) {
    auto* self = static_cast<StatusItem*>(data);
    if (self->refreshing_) {
        return; // the check entry set to the state, not the user's click
    }
    const std::string action = static_cast<const char*>(g_object_get_data(as<GObject>(item), "ulvo-action"));
    if (action == "toggleStartAtLogin") {
        if (self->actions_.setStartAtLogin) {
            self->actions_.setStartAtLogin(gtk_check_menu_item_get_active(as<GtkCheckMenuItem>(item)) !=
                                           FALSE);
        }
        self->refreshStartAtLogin();
        return;
    }
    const std::function<void()>* run = nullptr;
    if (action == "statusExplain") {
        run = &self->actions_.statusExplain;
    } else if (action == "statusCapture") {
        run = &self->actions_.statusCapture;
    } else if (action == "showSettings") {
        run = &self->actions_.showSettings;
    } else if (action == "showHistory") {
        run = &self->actions_.showHistory;
    } else if (action == "terminate") {
        run = &self->actions_.terminate;
    }
    if (run != nullptr && *run) {
        (*run)();
    }
}

void StatusItem::connectionChanged(GObject*, gboolean connected, gpointer data) {
    auto* self = static_cast<StatusItem*>(data);
    self->shown_ = connected != FALSE;
    if (!self->shown_ && !self->reported_) {
        self->reported_ = true;
        reportNoHost();
    }
}

void StatusItem::reportNoHost() {
    std::fprintf(stderr, "ulvo: the status item is unavailable: no status notifier host runs in this session "
                         "(ulvo --explain, --capture and --settings still work).\n");
}

} // namespace ulvo::x11
