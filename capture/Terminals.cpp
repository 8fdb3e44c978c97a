#include "capture/Terminals.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace ulvo {

namespace {

std::string lowered(std::string_view name) {
    std::string result(name);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

// WM_CLASS names (lower case) as the emulators set them; a name matches whole, or as a prefix that a
// "-" follows ("st-256color", "rxvt-unicode").
constexpr std::array<std::string_view, 17> terminalNames = {
    "xterm",       "uxterm",     "urxvt",
    "rxvt",        "st",         "alacritty",
    "kitty",       "wezterm",    "org.wezfurlong.wezterm",
    "foot",        "footclient", "konsole",
    "terminator",  "tilix",      "com.gexperts.tilix",
    "terminology", "kgx"};

// Names that vary by build: GNOME Terminal and other VTE terminals ("gnome-terminal-server",
// "org.gnome.Terminal", "xfce4-terminal", "mate-terminal", "lxterminal", "qterminal"), cool-retro-term.
constexpr std::array<std::string_view, 5> terminalFragments = {"terminal", "cool-retro-term", "guake",
                                                               "tilda", "org.gnome.console"};

bool matches(std::string_view name) {
    const std::string lower = lowered(name);
    if (lower.empty()) {
        return false;
    }
    for (const std::string_view known : terminalNames) {
        if (lower == known || (lower.size() > known.size() && lower.compare(0, known.size(), known) == 0 &&
                               lower[known.size()] == '-')) {
            return true;
        }
    }
    return std::any_of(terminalFragments.begin(), terminalFragments.end(),
                       [&](std::string_view fragment) { return lower.find(fragment) != std::string::npos; });
}

} // namespace

bool isTerminalWindowClass(std::string_view instance, std::string_view windowClass) {
    return matches(instance) || matches(windowClass);
}

} // namespace ulvo
