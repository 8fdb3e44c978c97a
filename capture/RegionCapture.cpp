#include "capture/RegionCapture.h"

#include "card/BridgeText.h"

#include <algorithm>
#include <cctype>

namespace ulvo {

std::string captureFileName(const std::string& uuid) {
    std::string upper = uuid;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return "ulvo-ocr-" + upper + ".png";
}

std::vector<std::string> screenshotCommand(const std::filesystem::path& file, ScreenshotTool tool) {
    if (tool == ScreenshotTool::grimSlurp) {
        // slurp prints the framed region and fails on Escape; the file travels as an argument, never as
        // part of the script.
        return {"/bin/sh", "-c", "region=$(slurp) && exec grim -g \"$region\" \"$1\"", "ulvo-capture",
                file.string()};
    }
    return {"maim", "--select", "--hidecursor", file.string()};
}

RegionCapture::RegionCapture(RegionCaptureHost& host, ScreenshotTool tool)
    : host_(host)
    , tool_(tool) {}

void RegionCapture::captureViaOCR() {
    if (!host_.preflightScreenCaptureAccess()) {
        host_.requestScreenCaptureAccess();
        host_.showScreenCaptureAlert(screenRecordingMessage);
        return;
    }
    const std::filesystem::path file = host_.temporaryDirectory() / captureFileName(host_.newUUID());
    std::weak_ptr<RegionCapture*> weak = alive_;
    const std::optional<std::string> failure =
        host_.launchScreenshotTool(screenshotCommand(file, tool_), [weak, file] {
            if (const auto self = weak.lock()) {
                (*self)->toolEnded(file);
            }
        });
    if (failure) {
        host_.showScreenCaptureAlert(captureStartFailedMessage + *failure);
    }
}

void RegionCapture::toolEnded(const std::filesystem::path& file) {
    if (!host_.fileExists(file)) {
        return; // cancelled, or the tool wrote nothing
    }
    std::weak_ptr<RegionCapture*> weak = alive_;
    host_.recognizeText(file, [weak, file](const std::string& text) {
        if (const auto self = weak.lock()) {
            (*self)->recognized(file, text);
        }
    });
}

void RegionCapture::recognized(const std::filesystem::path& file, const std::string& text) {
    host_.removeFile(file);
    const std::string trimmed = trimmedWhitespaceAndNewlines(text);
    if (trimmed.empty()) {
        host_.showScreenCaptureAlert(noReadableTextMessage);
        return;
    }
    host_.showCardWithSelection(trimmed);
}

} // namespace ulvo
