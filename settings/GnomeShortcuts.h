#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// One of GNOME's custom keyboard shortcuts: where its settings live, and what they hold.
struct CustomShortcut {
    std::string path; // "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/customN/"
    std::string name;
    std::string command;
    std::string binding; // GTK accelerator syntax, "<Alt>e"
    bool operator==(const CustomShortcut&) const = default;
};

// GNOME's keyboard settings: the custom shortcuts, and who else holds a key.
class ShortcutSettings {
public:
    virtual ~ShortcutSettings() = default;
    virtual std::vector<CustomShortcut> customShortcuts() = 0;
    // The name of a desktop shortcut (window manager, shell, media keys) bound to this accelerator.
    virtual std::optional<std::string> desktopShortcutFor(const std::string& binding) = 0;
    // Writes these shortcuts' settings and appends their paths to the list of custom shortcuts.
    virtual bool addCustomShortcuts(const std::vector<CustomShortcut>& added) = 0;
};

// Adds "program --explain" on Alt+E and "program --capture" on Alt+Shift+E as GNOME custom shortcuts,
// for a desktop whose global keys belong to itself. A shortcut that already runs the same command on
// the same key is kept as it is; a key that another shortcut holds is left to it and said. Returns the
// sentence Settings shows.
std::string addGnomeShortcuts(ShortcutSettings& settings, const std::string& program);

// The accelerator with its modifiers in one order and its key in lower case, so that "<Shift><Alt>E"
// and "<Alt><Shift>e" compare equal.
std::string normalizedAccelerator(const std::string& binding);

} // namespace ulvo
