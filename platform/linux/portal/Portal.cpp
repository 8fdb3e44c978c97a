#include "platform/linux/portal/Portal.h"

#include "platform/linux/glib/GObjectPtr.h"

#include <memory>
#include <utility>

namespace ulvo::portal {

namespace {

using ErrorPtr = glib::GErrorPtr;
using VariantPtr = glib::GVariantPtr;

// What a finished call's reply needs: the portal (valid unless the call was cancelled) and the path
// the answer will arrive on.
struct CallContext {
    Portal* portal;
    std::string path;
};

} // namespace

Portal::Portal(GDBusConnection* bus)
    : bus_(bus != nullptr ? static_cast<GDBusConnection*>(g_object_ref(bus)) : nullptr)
    , cancellable_(g_cancellable_new()) {
    if (!bus_) {
        return;
    }
    // The request path carries the caller's unique name without its colon, dots made underscores.
    const char* unique = g_dbus_connection_get_unique_name(bus_.get());
    std::string name = unique != nullptr ? unique : "";
    if (!name.empty() && name.front() == ':') {
        name.erase(0, 1);
    }
    for (char& c : name) {
        if (c == '.') {
            c = '_';
        }
    }
    senderPathPart_ = name;
}

// The pending requests' subscriptions end with them, before the bus is released.
Portal::~Portal() {
    g_cancellable_cancel(cancellable_.get());
}

std::string Portal::nextToken() {
    return "ulvo" + std::to_string(++counter_);
}

void Portal::registerHostProgram(const std::string& desktopFileId) {
    if (!bus_) {
        return;
    }
    // Fire and forget: an older portal answers with an unknown-interface error, which changes nothing.
    g_dbus_connection_call(bus_.get(), busName, objectPath, "org.freedesktop.host.portal.Registry",
                           "Register",
                           g_variant_new("(s@a{sv})", desktopFileId.c_str(), g_variant_new("a{sv}", nullptr)),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, -1, cancellable_.get(), nullptr, nullptr);
}

void Portal::request(const char* interface, const char* method, const Parameters& parameters, Answer answer) {
    if (!bus_) {
        answer(2, nullptr, "there is no session bus");
        return;
    }
    const std::string token = nextToken();
    const std::string path = std::string(objectPath) + "/request/" + senderPathPart_ + "/" + token;
    // Subscribed before the call, so an answer that comes at once is not missed.
    const unsigned subscription = g_dbus_connection_signal_subscribe(
        bus_.get(), busName, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &Portal::onResponse, this, nullptr);
    pending_.erase(path);
    pending_.emplace(path, Pending{std::move(answer), glib::BusSubscription(bus_.get(), subscription)});
    g_dbus_connection_call(bus_.get(), busName, objectPath, interface, method, parameters(token),
                           G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, cancellable_.get(),
                           &Portal::onCallReply, glib::box(CallContext{this, path}));
}

void Portal::onResponse(GDBusConnection* /*bus*/, const char* /*sender*/, const char* path,
                        const char* /*interface*/, const char* /*signal*/, GVariant* parameters, void* data) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) {
        return;
    }
    std::uint32_t response = 2;
    GVariant* raw = nullptr;
    g_variant_get(parameters, "(u@a{sv})", &response, &raw);
    const VariantPtr results(raw);
    static_cast<Portal*>(data)->finish(path, response, results.get(), "");
}

void Portal::onCallReply(GObject* source, GAsyncResult* result, void* data) {
    const std::unique_ptr<CallContext> context = glib::unbox<CallContext>(data);
    GError* raw = nullptr;
    const VariantPtr reply(
        g_dbus_connection_call_finish(reinterpret_cast<GDBusConnection*>(source), result, &raw));
    const ErrorPtr error(raw);
    if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        return; // the portal object is gone
    }
    if (error) {
        context->portal->finish(context->path, 2, nullptr, error->message);
    }
}

void Portal::finish(const std::string& path, std::uint32_t response, GVariant* results,
                    const std::string& error) {
    const auto found = pending_.find(path);
    if (found == pending_.end()) {
        return;
    }
    const Answer answer = std::move(found->second.answer);
    pending_.erase(found); // ends the subscription
    answer(response, results, error);
}

} // namespace ulvo::portal
