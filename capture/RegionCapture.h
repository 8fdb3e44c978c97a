#pragma once

#include "base/Geometry.h"
#include "base/Lifetime.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// What region capture needs from the desktop; every call and completion is on the main thread.
class RegionCaptureHost {
public:
    virtual ~RegionCaptureHost() = default;
    virtual std::filesystem::path temporaryDirectory() = 0;
    // A fresh UUID in its standard text form.
    virtual std::string newUUID() = 0;
    // Starts the screenshot tool; onExit runs on the main thread once it has ended, whatever its status.
    // Returns the failure's description when it cannot start.
    virtual std::optional<std::string> launchScreenshotTool(const std::vector<std::string>& argv,
                                                            std::function<void()> onExit) = 0;
    // The desktop's own screenshot service (a Wayland session's portal) frames a region, or shoots the
    // screen for ULVO's own region picker, and the region is written to file; nothing is written when
    // the user cancels or refuses. onEnd runs on the main thread once it is over.
    virtual std::optional<std::string> captureRegionThroughDesktop(const std::filesystem::path& file,
                                                                   std::function<void()> onEnd) {
        (void)file;
        (void)onEnd;
        return "this desktop has no screenshot service";
    }
    virtual bool fileExists(const std::filesystem::path& file) = 0;
    virtual void removeFile(const std::filesystem::path& file) = 0;
    // Recognition away from the main thread; the completion runs once on the main thread with the
    // text, or "" for an unreadable image or a failed recognition.
    virtual void recognizeText(const std::filesystem::path& image,
                               std::function<void(std::string)> completion) = 0;
    virtual void showScreenCaptureAlert(const std::string& message) = 0;
    virtual void showCardWithSelection(const std::string& text) = 0;
};

inline constexpr const char* screenCaptureAlertTitle = "Image text unavailable";
inline constexpr const char* captureStartFailedMessage = "ULVO could not start the screen capture. ";
inline constexpr const char* noReadableTextMessage =
    "ULVO could not find readable text in that capture. Try a tighter, sharper selection.";
inline constexpr const char* openDesktopSettingsButton = "Open Desktop Settings";

// "ulvo-ocr-<UUID upper case>.png".
std::string captureFileName(const std::string& uuid);

// The interactive region tools: maim on X11; slurp to frame the region, then grim, on wlroots
// compositors; the desktop's screenshot portal elsewhere. None writes a file when the user cancels.
enum class ScreenshotTool { maim, grimSlurp, portal };

// The screenshot tool's command line: an interactive region, no cursor, the output file.
std::vector<std::string> screenshotCommand(const std::filesystem::path& file,
                                           ScreenshotTool tool = ScreenshotTool::maim);

// A whole-screen image, and ULVO's own picker showing it across a surface of pickerWidth by
// pickerHeight: the image's pixels under a rectangle dragged from one corner to the other (in any
// direction), whole pixels clamped to the image; absent for a drag too small to hold text (a click).
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelRect&) const = default;
};
std::optional<PixelRect> pickedImageRegion(Point from, Point to, double pickerWidth, double pickerHeight,
                                           int imageWidth, int imageHeight);

// Whether the desktop's interactive screenshot frames a region itself (GNOME's does); elsewhere the
// portal shoots the whole screen and ULVO's picker frames the region. currentDesktop: XDG_CURRENT_DESKTOP.
bool desktopFramesRegions(const std::string& currentDesktop);

// Frames a screen region with the screenshot tool, recognises its text and shows it in the card.
class RegionCapture {
public:
    explicit RegionCapture(RegionCaptureHost& host, ScreenshotTool tool = ScreenshotTool::maim);
    RegionCapture(const RegionCapture&) = delete;
    RegionCapture& operator=(const RegionCapture&) = delete;

    void captureViaOCR();

private:
    void toolEnded(const std::filesystem::path& file);
    void recognized(const std::filesystem::path& file, const std::string& text);

    RegionCaptureHost& host_;
    ScreenshotTool tool_;
    Lifetime<RegionCapture> lifetime_{this};
};

} // namespace ulvo
