#pragma once
// How WebKit's processes are to run, chosen through the environment WebKit reads. Call it first thing in
// main, before any thread can read the environment; a value the user set is kept.
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
// of the web processes, and a named render device keeps it out of this one.
inline void chooseWebProcessEnvironment() {
    g_setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", FALSE);
    g_setenv("WEBKIT_SKIA_ENABLE_CPU_RENDERING", "1", FALSE);
    g_setenv("WEBKIT_WEB_RENDER_DEVICE_FILE", renderDeviceForPages().c_str(), FALSE);
}

} // namespace ulvo::gtk
