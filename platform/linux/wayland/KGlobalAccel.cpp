#include "platform/linux/wayland/KGlobalAccel.h"

#include <cstring>
#include <memory>
#include <utility>

namespace ulvo::wayland {

namespace {

constexpr const char* service = "org.kde.kglobalaccel";
constexpr const char* path = "/kglobalaccel";
constexpr const char* interface = "org.kde.KGlobalAccel";
// The component's object: its name with the characters D-Bus paths refuse written as underscores.
constexpr const char* componentPath = "/component/com_zvk_ULVO";
constexpr const char* componentInterface = "org.kde.kglobalaccel.Component";
constexpr int callTimeoutMilliseconds = 2000;

// Qt's key codes: Alt and Shift as modifier bits beside the letter.
constexpr int qtAlt = 0x08000000;
constexpr int qtShift = 0x02000000;
constexpr int qtKeyE = 0x45;

// kglobalaccel's setShortcut flags.
constexpr unsigned isDefault = 1;
constexpr unsigned setPresent = 2;

struct Reply {
    Lifetime<KGlobalAccelShortcuts>::Watch watch;
    std::function<void(KGlobalAccelShortcuts&, GVariant*, const GError*)> done;
};

} // namespace

const std::vector<KGlobalAccelShortcuts::Action>& KGlobalAccelShortcuts::actions() {
    static const std::vector<Action> all = {
        {"explain", "Explain the selection", qtAlt | qtKeyE},
        {"capture", "Explain the text of a screen region", qtAlt | qtShift | qtKeyE},
    };
    return all;
}

GVariant* KGlobalAccelShortcuts::actionId(const Action& action) {
    const char* parts[] = {component, action.id, "ULVO", action.friendlyName};
    return g_variant_new_strv(parts, 4);
}

KGlobalAccelShortcuts::KGlobalAccelShortcuts(Events events)
    : events_(std::move(events)) {
    GError* raw = nullptr;
    bus_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    const glib::GErrorPtr error(raw);
    if (!bus_) {
        failed_ = true;
        if (events_.unavailable) {
            events_.unavailable("there is no session bus");
        }
        return;
    }
    pressed_ = glib::BusSubscription(
        bus_.get(), g_dbus_connection_signal_subscribe(bus_.get(), service, componentInterface,
                                                       "globalShortcutPressed", componentPath, nullptr,
                                                       G_DBUS_SIGNAL_FLAGS_NONE, &onPressed, this, nullptr));
    for (const Action& action : actions()) {
        // One connection keeps the order: registered, then its default keys, then made present with the
        // keys the user chose before, or the default ones.
        g_dbus_connection_call(bus_.get(), service, path, interface, "doRegister",
                               g_variant_new("(@as)", actionId(action)), nullptr, G_DBUS_CALL_FLAGS_NONE,
                               callTimeoutMilliseconds, nullptr, nullptr, nullptr);
        g_dbus_connection_call(
            bus_.get(), service, path, interface, "setShortcut",
            g_variant_new("(@as@aiu)", actionId(action),
                          g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, &action.defaultKey, 1, sizeof(int)),
                          isDefault),
            nullptr, G_DBUS_CALL_FLAGS_NONE, callTimeoutMilliseconds, nullptr, nullptr, nullptr);
        auto* reply = static_cast<Reply*>(
            glib::box(Reply{lifetime_.watch(),
                            [&action](KGlobalAccelShortcuts& self, GVariant* result, const GError* failure) {
                                self.registered(action, result, failure);
                            }}));
        g_dbus_connection_call(
            bus_.get(), service, path, interface, "setShortcut",
            g_variant_new("(@as@aiu)", actionId(action),
                          g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, &action.defaultKey, 1, sizeof(int)),
                          setPresent),
            G_VARIANT_TYPE("(ai)"), G_DBUS_CALL_FLAGS_NONE, callTimeoutMilliseconds, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                const std::unique_ptr<Reply> boxed = glib::unbox<Reply>(data);
                GError* failed = nullptr;
                const glib::GVariantPtr answer(
                    g_dbus_connection_call_finish(glib::as<GDBusConnection>(source), result, &failed));
                const glib::GErrorPtr callError(failed);
                if (KGlobalAccelShortcuts* self = boxed->watch.get()) {
                    boxed->done(*self, answer.get(), callError.get());
                }
            },
            reply);
    }
}

KGlobalAccelShortcuts::~KGlobalAccelShortcuts() {
    lifetime_.end();
    if (!bus_ || failed_) {
        return;
    }
    for (const Action& action : actions()) {
        g_dbus_connection_call(bus_.get(), service, path, interface, "setInactive",
                               g_variant_new("(@as)", actionId(action)), nullptr, G_DBUS_CALL_FLAGS_NONE,
                               callTimeoutMilliseconds, nullptr, nullptr, nullptr);
    }
    g_dbus_connection_flush_sync(bus_.get(), nullptr, nullptr);
}

void KGlobalAccelShortcuts::registered(const Action& action, GVariant* reply, const GError* error) {
    if (failed_) {
        return;
    }
    if (reply == nullptr) {
        failed_ = true;
        if (events_.unavailable) {
            events_.unavailable(std::string("KDE's global shortcuts do not answer (") +
                                (error != nullptr ? error->message : "no reply") + ")");
        }
        return;
    }
    gsize count = 0;
    GVariant* keys = g_variant_get_child_value(reply, 0);
    const glib::GVariantPtr owned(keys);
    g_variant_get_fixed_array(keys, &count, sizeof(gint32));
    // No keys: another program holds them, or the user removed them in KDE's settings.
    if (count > 0) {
        bound_.emplace_back(action.id);
    }
    if (++answered_ == actions().size() && events_.ready) {
        events_.ready(bound_);
    }
}

void KGlobalAccelShortcuts::onPressed(GDBusConnection*, const char*, const char*, const char*, const char*,
                                      GVariant* parameters, void* data) {
    auto* self = static_cast<KGlobalAccelShortcuts*>(data);
    const char* componentName = nullptr;
    const char* shortcut = nullptr;
    gint64 timestamp = 0;
    g_variant_get(parameters, "(&s&sx)", &componentName, &shortcut, &timestamp);
    if (std::strcmp(componentName, component) != 0 || !self->events_.activated) {
        return;
    }
    if (std::strcmp(shortcut, "explain") == 0) {
        self->events_.activated(HotKeyAction::explain);
    } else if (std::strcmp(shortcut, "capture") == 0) {
        self->events_.activated(HotKeyAction::capture);
    }
}

} // namespace ulvo::wayland
