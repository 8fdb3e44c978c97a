#include "platform/linux/KeyFilePreferenceStore.h"

#include "platform/linux/glib/GObjectPtr.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cstdlib>
#include <memory>

namespace ulvo {

namespace {

using KeyFilePtr = glib::GKeyFilePtr;
using ErrorPtr = glib::GErrorPtr;
using CharsPtr = glib::GCharPtr;

} // namespace

std::string KeyFilePreferenceStore::defaultPath() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (configHome != nullptr && g_path_is_absolute(configHome)) {
        base = configHome;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr && *home != '\0' ? home : g_get_home_dir()) + "/.config";
    }
    return base + "/ulvo/preferences.ini";
}

std::optional<std::string> KeyFilePreferenceStore::string(const std::string& key) const {
    KeyFilePtr file(g_key_file_new());
    if (!g_key_file_load_from_file(file.get(), path_.c_str(), G_KEY_FILE_NONE, nullptr)) {
        return std::nullopt;
    }
    // get_string unescapes and rejects values that are not valid UTF-8.
    CharsPtr value(g_key_file_get_string(file.get(), group, key.c_str(), nullptr));
    if (!value) {
        return std::nullopt;
    }
    return std::string(value.get());
}

bool KeyFilePreferenceStore::setStrings(const std::vector<std::pair<std::string, std::string>>& entries) {
    KeyFilePtr file(g_key_file_new());
    GError* rawError = nullptr;
    const bool loaded = g_key_file_load_from_file(
        file.get(), path_.c_str(),
        static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS), &rawError);
    ErrorPtr loadError(rawError);
    rawError = nullptr;
    if (!loaded) {
        if (!g_error_matches(loadError.get(), G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
            // Unparseable or unreadable: keep the user's file for inspection instead of overwriting it.
            const std::string aside = path_ + ".corrupt";
            if (g_rename(path_.c_str(), aside.c_str()) != 0) {
                return false;
            }
        }
        file.reset(g_key_file_new());
    }

    for (const auto& [key, value] : entries) {
        g_key_file_set_string(file.get(), group, key.c_str(), value.c_str());
    }

    gsize length = 0;
    CharsPtr data(g_key_file_to_data(file.get(), &length, nullptr));
    CharsPtr directory(g_path_get_dirname(path_.c_str()));
    if (g_mkdir_with_parents(directory.get(), 0700) != 0) {
        return false;
    }
    // CONSISTENT writes a temporary file, syncs it and renames it over the old one, so readers never see
    // a half-written file.
    const bool written = g_file_set_contents_full(path_.c_str(), data.get(), static_cast<gssize>(length),
                                                  G_FILE_SET_CONTENTS_CONSISTENT, 0600, &rawError);
    const ErrorPtr writeError(rawError);
    return written;
}

} // namespace ulvo
