#pragma once

#include "platform/linux/wayland/FocusedWindow.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace ulvo::wayland {

// sway's IPC socket ($SWAYSOCK). No Wayland protocol tells a program where another program's window
// is; sway tells any program of its user that asks, which is what places the explain tag there.
class SwayIpc final : public FocusedWindowSource {
public:
    // How long one question may take: it runs on the main thread.
    static constexpr std::chrono::milliseconds replyLimit{250};

    // From $SWAYSOCK; absent outside sway.
    static std::optional<SwayIpc> fromEnvironment();
    explicit SwayIpc(std::filesystem::path socket)
        : socket_(std::move(socket)) {}

    // Absent when sway does not answer in time or no window has the focus.
    std::optional<FocusedWindow> focusedWindow() override;

private:
    std::filesystem::path socket_;
};

// One IPC message: the magic, the payload's length and the type (native byte order), then the payload.
std::string swayMessage(std::uint32_t type, const std::string& payload);
// The focused window in a get_tree reply: the node marked focused that shows a program's window.
std::optional<FocusedWindow> focusedWindowInTree(const nlohmann::json& tree);

} // namespace ulvo::wayland
