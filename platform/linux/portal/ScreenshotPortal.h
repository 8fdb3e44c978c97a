#pragma once

#include "platform/linux/portal/Portal.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace ulvo::portal {

// Screenshots through the desktop portal: the desktop shoots (interactive: it lets the user frame
// what to shoot, with its own tools) and hands back a file.
class ScreenshotPortal final {
public:
    struct Shot {
        std::filesystem::path file;
    };
    struct Cancelled {}; // the user cancelled, or the desktop refused: nothing to say
    struct Failed {
        std::string reason;
    };
    using Outcome = std::variant<Shot, Cancelled, Failed>;

    ScreenshotPortal();
    ~ScreenshotPortal();
    ScreenshotPortal(const ScreenshotPortal&) = delete;
    ScreenshotPortal& operator=(const ScreenshotPortal&) = delete;

    // One at a time: a request while another runs is refused as Failed.
    void take(bool interactive, std::function<void(Outcome)> completion);

private:
    std::unique_ptr<Portal> portal_;
    bool busy_ = false;
};

} // namespace ulvo::portal
