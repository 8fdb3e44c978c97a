#pragma once

#include "base/Result.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/wayland/FocusedWindow.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace ulvo::wayland {

// Where KWin says the active window is. KWin tells no Wayland program, but runs scripts that a program
// of the session loads over D-Bus: a small one, loaded for this program's life, reports the active
// window's program and place to an object of this program whenever either changes. Reports from
// anyone but KWin are ignored.
class KWinActiveWindow final : public FocusedWindowSource {
public:
    // Loads the script; a failure says why (no KWin on the bus, scripting refused).
    static Result<std::unique_ptr<KWinActiveWindow>> start();
    ~KWinActiveWindow() override;
    KWinActiveWindow(const KWinActiveWindow&) = delete;
    KWinActiveWindow& operator=(const KWinActiveWindow&) = delete;

    std::optional<FocusedWindow> focusedWindow() override { return latest_; }

private:
    KWinActiveWindow() = default;
    Result<void> load();
    static void called(GDBusConnection*, const char* sender, const char*, const char*, const char* method,
                       GVariant* parameters, GDBusMethodInvocation* invocation, void* data);

    glib::GObjectPtr<GDBusConnection> bus_;
    unsigned registration_ = 0;
    std::string kwin_; // KWin's unique name on the bus, the only sender believed
    std::string plugin_;
    std::filesystem::path script_;
    std::optional<FocusedWindow> latest_;
};

// A report's JSON text ({"pid", "x", "y", "width", "height"}, a pid of 0 for none) as a window; absent
// for no window and for anything malformed.
std::optional<FocusedWindow> kwinReport(const std::string& json);

} // namespace ulvo::wayland
