#pragma once
// How WebKit's processes are to run, chosen through the environment WebKit reads. Call it first thing in
// main, before any thread can read the environment; a value the user set is kept.
#include "platform/linux/Session.h"

#include <glib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace ulvo::gtk {

// The GPU WebKit hands to its web process. Left to itself, WebKit asks EGL, which maps Mesa and LLVM
// (about 24 MB) into this process for as long as it runs. The pages paint on the CPU, so any render node
// does; with none, a name that matches no device leaves the web process without one, as EGL would.
inline std::string renderDeviceForPages(const std::filesystem::path& devices = "/dev/dri") {
    std::vector<std::string> nodes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(devices, error)) {
        if (entry.path().filename().string().rfind("renderD", 0) == 0) {
            nodes.push_back(entry.path().string());
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes.empty() ? "/dev/null" : nodes.front();
}

// The pages need no GPU: painting on the CPU without the DMA-BUF renderer keeps the GL stack's memory out
// of the web processes, and on X11 a named render device keeps it out of this one (on Wayland WebKit
// paints nothing without its own EGL display). They stay set, since every web process started later
// reads them; returns the names set here, which programs this one starts for the user (a browser for a
// link) should not inherit.
inline std::vector<std::string> chooseWebProcessEnvironment(SessionKind session) {
    std::vector<std::string> chosen;
    const auto choose = [&chosen](const char* name, const std::string& value) {
        if (g_getenv(name) == nullptr) {
            g_setenv(name, value.c_str(), TRUE);
            chosen.emplace_back(name);
        }
    };
    choose("WEBKIT_DISABLE_DMABUF_RENDERER", "1");
    choose("WEBKIT_SKIA_ENABLE_CPU_RENDERING", "1");
    if (session == SessionKind::x11) {
        choose("WEBKIT_WEB_RENDER_DEVICE_FILE", renderDeviceForPages());
    }
    return chosen;
}

} // namespace ulvo::gtk
