#include "platform/linux/Session.h"

#include "base/Text.h"

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
    return desktops != nullptr && colonListHas(desktops, name);
}

} // namespace ulvo
