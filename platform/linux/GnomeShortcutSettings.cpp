#include "platform/linux/GnomeShortcutSettings.h"

#include "platform/linux/Session.h"
#include "platform/linux/glib/GObjectPtr.h"

#include <gio/gio.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string_view>

namespace ulvo {

namespace {

constexpr const char* mediaKeys = "org.gnome.settings-daemon.plugins.media-keys";
constexpr const char* customKeybinding = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";

// Schemas whose keys hold the desktop's own bindings.
constexpr std::array<const char*, 5> bindingSchemas = {
    "org.gnome.desktop.wm.keybindings", "org.gnome.shell.keybindings", "org.gnome.mutter.keybindings",
    "org.gnome.mutter.wayland.keybindings", mediaKeys};

using SchemaPtr = glib::GSettingsSchemaPtr;
struct KeyUnref {
    void operator()(GSettingsSchemaKey* key) const { g_settings_schema_key_unref(key); }
};
using SettingsPtr = glib::GObjectPtr<GSettings>;
using StrvPtr = glib::GStrvPtr;

SchemaPtr lookup(const char* id) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    return SchemaPtr(source != nullptr ? g_settings_schema_source_lookup(source, id, TRUE) : nullptr);
}

std::string text(GSettings* settings, const char* key) {
    const glib::GCharPtr value(g_settings_get_string(settings, key));
    return value ? value.get() : "";
}

} // namespace

std::unique_ptr<GnomeShortcutSettings> GnomeShortcutSettings::open() {
    if (!lookup(mediaKeys) || !lookup(customKeybinding)) {
        return nullptr;
    }
    return std::unique_ptr<GnomeShortcutSettings>(new GnomeShortcutSettings());
}

std::vector<CustomShortcut> GnomeShortcutSettings::customShortcuts() {
    std::vector<CustomShortcut> shortcuts;
    const SettingsPtr keys(g_settings_new(mediaKeys));
    const StrvPtr paths(g_settings_get_strv(keys.get(), "custom-keybindings"));
    for (gchar** path = paths.get(); path != nullptr && *path != nullptr; ++path) {
        const SettingsPtr shortcut(g_settings_new_with_path(customKeybinding, *path));
        shortcuts.push_back({*path, text(shortcut.get(), "name"), text(shortcut.get(), "command"),
                             text(shortcut.get(), "binding")});
    }
    return shortcuts;
}

std::optional<std::string> GnomeShortcutSettings::desktopShortcutFor(const std::string& binding) {
    const std::string wanted = normalizedAccelerator(binding);
    for (const char* id : bindingSchemas) {
        const SchemaPtr schema = lookup(id);
        if (!schema) {
            continue;
        }
        const SettingsPtr settings(g_settings_new(id));
        const StrvPtr keys(g_settings_schema_list_keys(schema.get()));
        for (gchar** key = keys.get(); key != nullptr && *key != nullptr; ++key) {
            const glib::GVariantPtr value(g_settings_get_value(settings.get(), *key));
            std::vector<std::string> bound;
            if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) {
                bound.emplace_back(g_variant_get_string(value.get(), nullptr));
            } else if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING_ARRAY)) {
                const std::unique_ptr<const gchar*, decltype(&g_free)> strings(
                    g_variant_get_strv(value.get(), nullptr), g_free);
                for (const gchar** s = strings.get(); s != nullptr && *s != nullptr; ++s) {
                    bound.emplace_back(*s);
                }
            }
            for (const std::string& accelerator : bound) {
                if (!accelerator.empty() && normalizedAccelerator(accelerator) == wanted) {
                    const std::unique_ptr<GSettingsSchemaKey, KeyUnref> described(
                        g_settings_schema_get_key(schema.get(), *key));
                    const gchar* summary = g_settings_schema_key_get_summary(described.get());
                    return std::string(summary != nullptr ? summary : *key);
                }
            }
        }
    }
    return std::nullopt;
}

bool GnomeShortcutSettings::addCustomShortcuts(const std::vector<CustomShortcut>& added) {
    for (const CustomShortcut& shortcut : added) {
        const SettingsPtr settings(g_settings_new_with_path(customKeybinding, shortcut.path.c_str()));
        if (g_settings_set_string(settings.get(), "name", shortcut.name.c_str()) == FALSE ||
            g_settings_set_string(settings.get(), "command", shortcut.command.c_str()) == FALSE ||
            g_settings_set_string(settings.get(), "binding", shortcut.binding.c_str()) == FALSE) {
            return false;
        }
    }
    // The list last: GNOME picks up a shortcut once its path is listed, with its settings in place.
    const SettingsPtr keys(g_settings_new(mediaKeys));
    const StrvPtr current(g_settings_get_strv(keys.get(), "custom-keybindings"));
    std::vector<const gchar*> paths;
    for (gchar** path = current.get(); path != nullptr && *path != nullptr; ++path) {
        paths.push_back(*path);
    }
    for (const CustomShortcut& shortcut : added) {
        paths.push_back(shortcut.path.c_str());
    }
    paths.push_back(nullptr);
    const bool written = g_settings_set_strv(keys.get(), "custom-keybindings", paths.data()) != FALSE;
    g_settings_sync();
    return written;
}

bool onGnomeDesktop() {
    return onDesktop("GNOME");
}

} // namespace ulvo
