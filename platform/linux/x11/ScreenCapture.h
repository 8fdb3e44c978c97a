#pragma once

#include "capture/RegionCapture.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ulvo::portal {
class ScreenshotPortal;
}
namespace ulvo::gtk {
class RegionPicker;
}

namespace ulvo::x11 {

// Region capture: maim frames the region on X11 slurp and
// grim on wlroots compositors, the desktop's screenshot portal elsewhere (with ULVO's own picker where
// the portal shoots the whole screen); Tesseract reads it on a worker thread, alerts are GTK dialogs.
class LinuxRegionCaptureHost final : public RegionCaptureHost {
public:
    // showCard: the card with a text, as a selection would show it. languageTag: the user's language.
    LinuxRegionCaptureHost(std::function<void(const std::string&)> showCard, std::string languageTag);
    ~LinuxRegionCaptureHost() override;
    LinuxRegionCaptureHost(const LinuxRegionCaptureHost&) = delete;
    LinuxRegionCaptureHost& operator=(const LinuxRegionCaptureHost&) = delete;

    std::filesystem::path temporaryDirectory() override;
    std::string newUUID() override;
    std::optional<std::string> launchScreenshotTool(const std::vector<std::string>& argv,
                                                    std::function<void()> onExit) override;
    std::optional<std::string> captureRegionThroughDesktop(const std::filesystem::path& file,
                                                           std::function<void()> onEnd) override;
    bool fileExists(const std::filesystem::path& file) override;
    void removeFile(const std::filesystem::path& file) override;
    void recognizeText(const std::filesystem::path& image,
                       std::function<void(std::string)> completion) override;
    void showScreenCaptureAlert(const std::string& message) override;
    void showCardWithSelection(const std::string& text) override { showCard_(text); }
    // The whole screen in shot (which goes once read): ULVO's picker frames the region, which is
    // written to file; onEnd runs once it is over.
    void pickFrom(const std::filesystem::path& shot, const std::filesystem::path& file,
                  std::function<void()> onEnd);
    // The picker, while it shows.
    gtk::RegionPicker* picker() const { return picker_.get(); }

private:
    std::unique_ptr<portal::ScreenshotPortal> portal_;
    std::unique_ptr<gtk::RegionPicker> picker_;
    std::function<void(const std::string&)> showCard_;
    std::string languageTag_;
};

// The capture alert: title "Image text unavailable", the message, and the buttons "Open Desktop
// Settings" (default; opens the desktop's settings) and "OK". Modal, without blocking the loop.
void showScreenCaptureAlert(const std::string& message);

} // namespace ulvo::x11
