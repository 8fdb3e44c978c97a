#pragma once

#include "capture/RegionCapture.h"

#include <functional>
#include <optional>
#include <string>

namespace ulvo::x11 {

// Region capture on X11: maim frames the region (X11 needs no screen-recording permission), Tesseract
// reads it on a worker thread, alerts are GTK dialogs.
class LinuxRegionCaptureHost final : public RegionCaptureHost {
public:
    // showCard: the card with a text, as a selection would show it. languageTag: the user's language.
    LinuxRegionCaptureHost(std::function<void(const std::string&)> showCard, std::string languageTag);

    bool preflightScreenCaptureAccess() override { return true; }
    void requestScreenCaptureAccess() override {}
    std::filesystem::path temporaryDirectory() override;
    std::string newUUID() override;
    std::optional<std::string> launchScreenshotTool(const std::vector<std::string>& argv,
                                                    std::function<void()> onExit) override;
    bool fileExists(const std::filesystem::path& file) override;
    void removeFile(const std::filesystem::path& file) override;
    void recognizeText(const std::filesystem::path& image,
                       std::function<void(std::string)> completion) override;
    void showScreenCaptureAlert(const std::string& message) override;
    void showCardWithSelection(const std::string& text) override { showCard_(text); }
    // The session cannot capture regions: the capture alert says why instead of starting a tool.
    void setUnavailable(std::string reason) { unavailable_ = std::move(reason); }

private:
    std::optional<std::string> unavailable_;
    std::function<void(const std::string&)> showCard_;
    std::string languageTag_;
};

// The capture alert: title "Image text unavailable", the message, and the buttons "Open Screen
// Recording Settings" (default; opens the desktop's settings) and "OK". Modal, without blocking the loop.
void showScreenCaptureAlert(const std::string& message);

} // namespace ulvo::x11
