#pragma once

#include "base/Lifetime.h"
#include "capture/HotKeys.h"
#include "platform/linux/glib/GObjectPtr.h"

#include <gio/gio.h>

#include <functional>
#include <string>
#include <vector>

namespace ulvo::wayland {

// The hot keys registered with KDE's global-shortcut service (kglobalaccel) under the program's own
// component, as KDE's programs do: what KDE Plasma offers where its portal binds nothing for a program
// outside a sandbox. The user's own choice of keys, made in KDE's settings, is kept.
class KGlobalAccelShortcuts final {
public:
    struct Events {
        std::function<void(HotKeyAction)> activated;
        // The actions that have keys, once registered.
        std::function<void(const std::vector<std::string>& ids)> ready;
        std::function<void(const std::string& reason)> unavailable;
    };

    static constexpr const char* component = "com.zvk.ULVO";

    // Starts at once; the answers arrive on the main loop.
    explicit KGlobalAccelShortcuts(Events events);
    // The actions stay registered (the user's keys are kept) but inactive until the next start.
    ~KGlobalAccelShortcuts();
    KGlobalAccelShortcuts(const KGlobalAccelShortcuts&) = delete;
    KGlobalAccelShortcuts& operator=(const KGlobalAccelShortcuts&) = delete;

private:
    struct Action {
        const char* id;
        const char* friendlyName;
        int defaultKey; // a Qt key code with its modifiers
    };
    static const std::vector<Action>& actions();
    static GVariant* actionId(const Action& action);
    void registered(const Action& action, GVariant* reply, const GError* error);
    static void onPressed(GDBusConnection*, const char*, const char*, const char*, const char*,
                          GVariant* parameters, void* data);

    Events events_;
    glib::GObjectPtr<GDBusConnection> bus_;
    glib::BusSubscription pressed_;
    std::vector<std::string> bound_;
    std::size_t answered_ = 0;
    bool failed_ = false;
    Lifetime<KGlobalAccelShortcuts> lifetime_{this};
};

} // namespace ulvo::wayland
