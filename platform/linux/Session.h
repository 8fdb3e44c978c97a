#pragma once

namespace ulvo {

// The kind of desktop session the program runs in; it picks the adapters of every capability.
enum class SessionKind { x11, wayland };

// A Wayland session when WAYLAND_DISPLAY names one, or else when XDG_SESSION_TYPE says so (the display
// then has its default name); an X11 session otherwise. Either value may be null.
SessionKind detectSession(const char* waylandDisplay, const char* sessionType);

// The session of this process's environment.
SessionKind currentSession();

} // namespace ulvo
