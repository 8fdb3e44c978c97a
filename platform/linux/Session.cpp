#include "platform/linux/Session.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace ulvo {

SessionKind detectSession(const SessionEnvironment& environment) {
    if (environment.waylandDisplay != nullptr && *environment.waylandDisplay != '\0') {
        return SessionKind::wayland;
    }
    if (environment.sessionType != nullptr && std::string_view(environment.sessionType) == "wayland") {
        return SessionKind::wayland;
    }
    return SessionKind::x11;
}

SessionKind currentSession() {
    return detectSession({std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE")});
}

bool onDesktop(std::string_view name) {
    const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
    if (desktops == nullptr) {
        return false;
    }
    const std::string_view list(desktops);
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        if (list.substr(start, end - start) == name) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace ulvo
