#include "platform/linux/wayland/GlobalShortcutsPortal.h"

#include "platform/linux/glib/GObjectPtr.h"

#include <cstdio>
#include <memory>
#include <utility>

namespace ulvo::wayland {

namespace {

using VariantPtr = glib::GVariantPtr;

glib::GObjectPtr<GDBusConnection> sessionBus() {
    GError* raw = nullptr;
    glib::GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    const glib::GErrorPtr error(raw);
    return bus;
}

GVariant* optionsWithToken(const std::string& token, const char* extraKey = nullptr,
                           const std::string& extraValue = {}) {
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    if (extraKey != nullptr) {
        g_variant_builder_add(&options, "{sv}", extraKey, g_variant_new_string(extraValue.c_str()));
    }
    return g_variant_builder_end(&options);
}

// The ids of the a(sa{sv}) list under "shortcuts" in a portal's results.
std::vector<std::string> shortcutIds(GVariant* results) {
    std::vector<std::string> ids;
    GVariant* raw = g_variant_lookup_value(results, "shortcuts", G_VARIANT_TYPE("a(sa{sv})"));
    if (raw == nullptr) {
        return ids;
    }
    const VariantPtr shortcuts(raw);
    GVariantIter iter;
    g_variant_iter_init(&iter, shortcuts.get());
    const char* id = nullptr;
    GVariant* properties = nullptr;
    while (g_variant_iter_next(&iter, "(&s@a{sv})", &id, &properties)) {
        const VariantPtr owned(properties);
        ids.emplace_back(id);
    }
    return ids;
}

std::string answerFailure(std::uint32_t response, const std::string& error, const char* step) {
    if (!error.empty()) {
        std::fprintf(stderr, "ulvo: the global-shortcuts portal: %s\n", error.c_str());
        return "the desktop offers no global-shortcuts portal";
    }
    if (response == portal::Portal::responseCancelled) {
        return "the desktop declined the shortcuts";
    }
    return std::string("the desktop's portal could not ") + step;
}

} // namespace

GlobalShortcutsPortal::GlobalShortcutsPortal(Events events)
    : events_(std::move(events)) {
    portal_ = std::make_unique<portal::Portal>(sessionBus().get()); // the portal takes its own reference
    // Before any other request: a portal with a host registry names the program by it from then on.
    portal_->registerHostProgram(desktopFileId);
    const std::string sessionToken = portal_->nextToken();
    portal_->request(
        interface, "CreateSession",
        [&](const std::string& token) {
            return g_variant_new("(@a{sv})", optionsWithToken(token, "session_handle_token", sessionToken));
        },
        [this](std::uint32_t response, GVariant* results, const std::string& error) {
            if (response != portal::Portal::responseSuccess || results == nullptr) {
                fail(answerFailure(response, error, "open a shortcuts session"));
                return;
            }
            sessionCreated(results);
        });
}

GlobalShortcutsPortal::~GlobalShortcutsPortal() {
    activated_.end();
    GDBusConnection* bus = portal_->bus();
    if (bus != nullptr && !session_.empty()) {
        g_dbus_connection_call(bus, portal::Portal::busName, session_.c_str(),
                               "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    }
}

void GlobalShortcutsPortal::fail(const std::string& reason) {
    if (failed_) {
        return;
    }
    failed_ = true;
    if (events_.unavailable) {
        events_.unavailable(reason);
    }
}

void GlobalShortcutsPortal::sessionCreated(GVariant* results) {
    // Documented as a string; some portals send an object path.
    const char* handle = nullptr;
    if (!g_variant_lookup(results, "session_handle", "&s", &handle) &&
        !g_variant_lookup(results, "session_handle", "&o", &handle)) {
        fail("the desktop's portal returned no shortcuts session");
        return;
    }
    session_ = handle;
    activated_ = glib::BusSubscription(
        portal_->bus(),
        g_dbus_connection_signal_subscribe(portal_->bus(), portal::Portal::busName, interface, "Activated",
                                           portal::Portal::objectPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                           &GlobalShortcutsPortal::onActivated, this, nullptr));
    portal_->request(
        interface, "ListShortcuts",
        [this](const std::string& token) {
            return g_variant_new("(o@a{sv})", session_.c_str(), optionsWithToken(token));
        },
        [this](std::uint32_t response, GVariant* answer, const std::string& error) {
            if (response != portal::Portal::responseSuccess || answer == nullptr) {
                fail(answerFailure(response, error, "list the shortcuts"));
                return;
            }
            listed(answer);
        });
}

void GlobalShortcutsPortal::listed(GVariant* results) {
    const std::vector<std::string> held = shortcutIds(results);
    const std::vector<DesktopShortcut> missing = shortcutsToBind(held);
    if (missing.empty()) {
        if (events_.ready) {
            events_.ready(held);
        }
        return;
    }
    portal_->request(
        interface, "BindShortcuts",
        [this, missing](const std::string& token) {
            GVariantBuilder list;
            g_variant_builder_init(&list, G_VARIANT_TYPE("a(sa{sv})"));
            for (const DesktopShortcut& shortcut : missing) {
                GVariantBuilder properties;
                g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
                g_variant_builder_add(&properties, "{sv}", "description",
                                      g_variant_new_string(shortcut.description.c_str()));
                g_variant_builder_add(&properties, "{sv}", "preferred_trigger",
                                      g_variant_new_string(shortcut.preferredTrigger.c_str()));
                g_variant_builder_add(&list, "(s@a{sv})", shortcut.id.c_str(),
                                      g_variant_builder_end(&properties));
            }
            return g_variant_new("(o@a(sa{sv})s@a{sv})", session_.c_str(), g_variant_builder_end(&list), "",
                                 optionsWithToken(token));
        },
        [this](std::uint32_t response, GVariant* answer, const std::string& error) {
            if (response != portal::Portal::responseSuccess || answer == nullptr) {
                fail(answerFailure(response, error, "bind the shortcuts"));
                return;
            }
            // A success that names none of them binds nothing (a desktop that cannot tell which
            // program asked, for one), so only what the answer lists counts.
            const std::vector<std::string> bound = shortcutIds(answer);
            if (!shortcutsToBind(bound).empty()) {
                fail("the desktop's portal did not bind them (it may not know which program asked)");
                return;
            }
            if (events_.ready) {
                events_.ready(bound);
            }
        });
}

void GlobalShortcutsPortal::onActivated(GDBusConnection* /*bus*/, const char* /*sender*/,
                                        const char* /*path*/, const char* /*interface*/,
                                        const char* /*signal*/, GVariant* parameters, void* data) {
    auto* self = static_cast<GlobalShortcutsPortal*>(data);
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(osta{sv})"))) {
        return;
    }
    const char* session = nullptr;
    const char* id = nullptr;
    g_variant_get(parameters, "(&o&st@a{sv})", &session, &id, nullptr, nullptr);
    if (self->session_ != session) {
        return;
    }
    if (const std::optional<HotKeyAction> action = desktopShortcutAction(id);
        action && self->events_.activated) {
        self->events_.activated(*action);
    }
}

} // namespace ulvo::wayland
