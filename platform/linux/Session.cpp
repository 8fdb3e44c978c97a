#include "platform/linux/Session.h"

#include <cstdlib>
#include <string_view>

namespace ulvo {

SessionKind detectSession(const char* waylandDisplay, const char* sessionType) {
    if (waylandDisplay != nullptr && *waylandDisplay != '\0') {
        return SessionKind::wayland;
    }
    if (sessionType != nullptr && std::string_view(sessionType) == "wayland") {
        return SessionKind::wayland;
    }
    return SessionKind::x11;
}

SessionKind currentSession() {
    return detectSession(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"));
}

} // namespace ulvo
