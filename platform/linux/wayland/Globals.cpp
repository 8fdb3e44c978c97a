#include "platform/linux/wayland/Globals.h"

#include <wayland-client.h>

namespace ulvo::wayland {

std::vector<std::string> compositorGlobals() {
    std::vector<std::string> names;
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        return names;
    }
    wl_registry* registry = wl_display_get_registry(display);
    static const wl_registry_listener listener = {
        [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
            static_cast<std::vector<std::string>*>(data)->emplace_back(interface);
        },
        [](void*, wl_registry*, uint32_t) {}};
    wl_registry_add_listener(registry, &listener, &names);
    wl_display_roundtrip(display);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return names;
}

} // namespace ulvo::wayland
