#pragma once

#include "settings/GnomeShortcuts.h"

#include <memory>

namespace ulvo {

// GNOME's keyboard settings through GSettings: the media-keys plugin's custom shortcuts, and the
// window manager's, shell's and media keys' own bindings.
class GnomeShortcutSettings final : public ShortcutSettings {
public:
    // Absent where GNOME's media-keys settings are not installed.
    static std::unique_ptr<GnomeShortcutSettings> open();

    std::vector<CustomShortcut> customShortcuts() override;
    std::optional<std::string> desktopShortcutFor(const std::string& binding) override;
    bool addCustomShortcuts(const std::vector<CustomShortcut>& added) override;

private:
    GnomeShortcutSettings() = default;
};

// Whether the session's desktop is GNOME (XDG_CURRENT_DESKTOP names it).
bool onGnomeDesktop();

} // namespace ulvo
