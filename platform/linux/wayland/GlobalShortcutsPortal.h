#pragma once

#include "capture/HotKeys.h"
#include "platform/linux/portal/Portal.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ulvo::wayland {

// The hot keys through the desktop portal's global shortcuts (KDE Plasma, GNOME 48 and later,
// Hyprland): one session for the program's life; the desktop's list is asked first and only the
// missing shortcuts are bound, so a desktop that confirms bindings with the user asks once.
class GlobalShortcutsPortal final {
public:
    struct Events {
        std::function<void(HotKeyAction)> activated;
        // The shortcuts the desktop holds for this program, once known.
        std::function<void(const std::vector<std::string>& ids)> ready;
        // Why the desktop's shortcuts cannot be used (no portal, no such interface, declined).
        std::function<void(const std::string& reason)> unavailable;
    };

    // The desktop-file id the portal knows the program by.
    static constexpr const char* desktopFileId = "com.zvk.ULVO";

    // Starts at once; the answers arrive on the main loop.
    explicit GlobalShortcutsPortal(Events events);
    ~GlobalShortcutsPortal();
    GlobalShortcutsPortal(const GlobalShortcutsPortal&) = delete;
    GlobalShortcutsPortal& operator=(const GlobalShortcutsPortal&) = delete;

private:
    static constexpr const char* interface = "org.freedesktop.portal.GlobalShortcuts";

    void sessionCreated(GVariant* results);
    void listed(GVariant* results);
    void fail(const std::string& reason);
    static void onActivated(GDBusConnection*, const char*, const char*, const char*, const char*,
                            GVariant* parameters, void* data);

    Events events_;
    std::unique_ptr<portal::Portal> portal_;
    std::string session_;
    glib::BusSubscription activated_; // ends before the portal releases the bus
    bool failed_ = false;
};

} // namespace ulvo::wayland
