#include "platform/linux/gtk/DesktopServices.h"

#include "card/BridgeText.h"
#include "platform/linux/gtk/GObjectPtr.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

namespace ulvo::gtk {

void copyToClipboard(const std::string& text) {
    GtkClipboard* clipboard = gtk_clipboard_get(gdk_atom_intern_static_string("CLIPBOARD"));
    gtk_clipboard_clear(clipboard);
    gtk_clipboard_set_text(clipboard, text.c_str(), static_cast<gint>(text.size()));
    gtk_clipboard_store(clipboard);
}

namespace {

void primaryTextArrived(GtkClipboard*, const gchar* text, gpointer data) {
    std::unique_ptr<std::function<void(std::string)>> completion(
        static_cast<std::function<void(std::string)>*>(data));
    (*completion)(text != nullptr ? trimmedWhitespaceAndNewlines(text) : std::string());
}

} // namespace

void readPrimarySelection(std::function<void(std::string)> completion) {
    gtk_clipboard_request_text(gtk_clipboard_get(gdk_atom_intern_static_string("PRIMARY")),
                               primaryTextArrived,
                               new std::function<void(std::string)>(std::move(completion)));
}

void openExternally(const std::string& uri) {
    GError* raw = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &raw)) {
        GErrorPtr error(raw);
    }
}

bool accessibilityTrusted() {
    GError* raw = nullptr;
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    GErrorPtr busError(raw);
    if (!bus) {
        return false;
    }
    raw = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus.get(), "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
        500, nullptr, &raw);
    GErrorPtr callError(raw);
    if (reply == nullptr) {
        return false;
    }
    GVariant* boxed = nullptr;
    g_variant_get(reply, "(v)", &boxed);
    const bool enabled = boxed != nullptr && g_variant_classify(boxed) == G_VARIANT_CLASS_BOOLEAN &&
                         g_variant_get_boolean(boxed) != FALSE;
    if (boxed != nullptr) {
        g_variant_unref(boxed);
    }
    g_variant_unref(reply);
    return enabled;
}

void openAccessibilitySettings() {
    GCharPtr program(g_find_program_in_path("gnome-control-center"));
    if (!program) {
        return;
    }
    const gchar* argv[] = {program.get(), "universal-access", nullptr};
    GError* raw = nullptr;
    g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, nullptr,
                  &raw);
    GErrorPtr error(raw);
}

} // namespace ulvo::gtk
