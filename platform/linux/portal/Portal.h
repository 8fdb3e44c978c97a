#pragma once

#include "platform/linux/glib/GObjectPtr.h"

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace ulvo::portal {

// The desktop portal's request and response road, on the session bus: a method is called with a
// handle token, and its answer arrives later as the Response signal of the request object that token
// names. Everything runs on the main loop; destroying the object drops every pending answer.
class Portal final {
public:
    static constexpr const char* busName = "org.freedesktop.portal.Desktop";
    static constexpr const char* objectPath = "/org/freedesktop/portal/desktop";
    // Response codes: 0 success, 1 cancelled by the user, 2 otherwise ended.
    static constexpr std::uint32_t responseSuccess = 0;
    static constexpr std::uint32_t responseCancelled = 1;

    // response: the code and the results (a{sv}; null when the call itself failed, with a message).
    using Answer = std::function<void(std::uint32_t response, GVariant* results, const std::string& error)>;
    // Builds the call's parameters around the handle token the options must carry.
    using Parameters = std::function<GVariant*(const std::string& handleToken)>;

    // Absent bus: every request fails with a message.
    explicit Portal(GDBusConnection* bus);
    ~Portal();
    Portal(const Portal&) = delete;
    Portal& operator=(const Portal&) = delete;

    GDBusConnection* bus() const { return bus_.get(); }
    // Tells a portal that keeps a registry of host programs which desktop file this process is; the
    // portal otherwise cannot name a program outside a sandbox. Portals without the registry ignore it.
    void registerHostProgram(const std::string& desktopFileId);

    void request(const char* interface, const char* method, const Parameters& parameters, Answer answer);
    // A fresh token for a request or a session handle.
    std::string nextToken();

private:
    struct Pending {
        Answer answer;
        glib::BusSubscription subscription;
    };
    static void onResponse(GDBusConnection*, const char*, const char*, const char*, const char*,
                           GVariant* parameters, void* data);
    static void onCallReply(GObject* source, GAsyncResult* result, void* data);
    void finish(const std::string& path, std::uint32_t response, GVariant* results, const std::string& error);

    glib::GObjectPtr<GDBusConnection> bus_;
    glib::GObjectPtr<GCancellable> cancellable_;
    std::string senderPathPart_;
    std::map<std::string, Pending> pending_; // by request object path
    unsigned counter_ = 0;
};

} // namespace ulvo::portal
