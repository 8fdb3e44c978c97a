#include "platform/linux/portal/ScreenshotPortal.h"

#include "platform/linux/glib/GObjectPtr.h"

#include <memory>
#include <utility>

namespace ulvo::portal {

ScreenshotPortal::ScreenshotPortal() {
    const glib::GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    portal_ = std::make_unique<Portal>(bus.get());
}

ScreenshotPortal::~ScreenshotPortal() = default;

void ScreenshotPortal::take(bool interactive, std::function<void(Outcome)> completion) {
    if (busy_) {
        completion(Failed{"a screenshot is being taken already"});
        return;
    }
    busy_ = true;
    portal_->request(
        "org.freedesktop.portal.Screenshot", "Screenshot",
        [interactive](const std::string& token) {
            GVariantBuilder options;
            g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
            g_variant_builder_add(&options, "{sv}", "modal", g_variant_new_boolean(TRUE));
            g_variant_builder_add(&options, "{sv}", "interactive", g_variant_new_boolean(interactive));
            return g_variant_new("(s@a{sv})", "", g_variant_builder_end(&options));
        },
        [this, completion = std::move(completion)](std::uint32_t response, GVariant* results,
                                                   const std::string& error) {
            busy_ = false;
            if (!error.empty()) {
                completion(Failed{"the desktop offers no screenshot portal (" + error + ")"});
                return;
            }
            if (response != Portal::responseSuccess || results == nullptr) {
                completion(Cancelled{});
                return;
            }
            const char* uri = nullptr;
            if (!g_variant_lookup(results, "uri", "&s", &uri)) {
                completion(Failed{"the desktop's screenshot came back without a file"});
                return;
            }
            const glib::GCharPtr path(g_filename_from_uri(uri, nullptr, nullptr));
            if (!path) {
                completion(Failed{"the desktop's screenshot is not a local file"});
                return;
            }
            completion(Shot{path.get()});
        });
}

} // namespace ulvo::portal
