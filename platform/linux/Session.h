#pragma once

#include <string_view>

namespace ulvo {

// The kind of desktop session the program runs in; it picks the adapters of every capability.
enum class SessionKind { x11, wayland };

// The two environment variables that tell; either may be null.
struct SessionEnvironment {
    const char* waylandDisplay = nullptr; // WAYLAND_DISPLAY
    const char* sessionType = nullptr;    // XDG_SESSION_TYPE
};

// A Wayland session when WAYLAND_DISPLAY names one, or else when XDG_SESSION_TYPE says so (the display
// then has its default name); an X11 session otherwise.
SessionKind detectSession(const SessionEnvironment& environment);

// The session of this process's environment.
SessionKind currentSession();

// Whether XDG_CURRENT_DESKTOP, a colon-separated list, names this desktop ("GNOME", "KDE").
bool onDesktop(std::string_view name);

} // namespace ulvo
