#include "platform/linux/gtk/DesktopServices.h"

#include "platform/linux/glib/GObjectPtr.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

namespace ulvo::gtk {

void copyToClipboard(const std::string& text) {
    GtkClipboard* clipboard = gtk_clipboard_get(gdk_atom_intern_static_string("CLIPBOARD"));
    gtk_clipboard_clear(clipboard);
    gtk_clipboard_set_text(clipboard, text.c_str(), static_cast<gint>(text.size()));
    gtk_clipboard_store(clipboard);
}

void openExternally(const std::string& uri, const std::vector<std::string>& notInherited) {
    const glib::GObjectPtr<GAppLaunchContext> context(g_app_launch_context_new());
    for (const std::string& name : notInherited) {
        g_app_launch_context_unsetenv(context.get(), name.c_str());
    }
    GError* raw = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), context.get(), &raw)) {
        glib::GErrorPtr error(raw);
    }
}

void openAccessibilitySettings() {
    glib::GCharPtr program(g_find_program_in_path("gnome-control-center"));
    if (!program) {
        return;
    }
    const gchar* argv[] = {program.get(), "universal-access", nullptr};
    GError* raw = nullptr;
    g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, nullptr,
                  &raw);
    glib::GErrorPtr error(raw);
}

} // namespace ulvo::gtk
