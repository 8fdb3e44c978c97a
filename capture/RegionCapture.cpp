#include "capture/RegionCapture.h"

#include "base/Text.h"

#include <algorithm>
#include <cctype>
#include <cmath>

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

std::optional<PixelRect> pickedImageRegion(Point from, Point to, double pickerWidth, double pickerHeight,
                                           int imageWidth, int imageHeight) {
    constexpr int smallest = 4; // pixels either way: anything less is a click, not a frame
    if (pickerWidth <= 0 || pickerHeight <= 0 || imageWidth <= 0 || imageHeight <= 0) {
        return std::nullopt;
    }
    const double scaleX = imageWidth / pickerWidth;
    const double scaleY = imageHeight / pickerHeight;
    const auto clampX = [&](double x) {
        return std::clamp(x * scaleX, 0.0, static_cast<double>(imageWidth));
    };
    const auto clampY = [&](double y) {
        return std::clamp(y * scaleY, 0.0, static_cast<double>(imageHeight));
    };
    const int left = static_cast<int>(std::floor(clampX(std::min(from.x, to.x))));
    const int top = static_cast<int>(std::floor(clampY(std::min(from.y, to.y))));
    const int right = static_cast<int>(std::ceil(clampX(std::max(from.x, to.x))));
    const int bottom = static_cast<int>(std::ceil(clampY(std::max(from.y, to.y))));
    if (right - left < smallest || bottom - top < smallest) {
        return std::nullopt;
    }
    return PixelRect{left, top, right - left, bottom - top};
}

bool desktopFramesRegions(const std::string& currentDesktop) {
    return colonListHas(currentDesktop, "GNOME");
}

RegionCapture::RegionCapture(RegionCaptureHost& host, ScreenshotTool tool)
    : host_(host)
    , tool_(tool) {}

void RegionCapture::captureViaOCR() {
    const std::filesystem::path file = host_.temporaryDirectory() / captureFileName(host_.newUUID());
    auto ended = [watch = lifetime_.watch(), file] {
        if (RegionCapture* self = watch.get()) {
            self->toolEnded(file);
        }
    };
    const std::optional<std::string> failure =
        tool_ == ScreenshotTool::portal
            ? host_.captureRegionThroughDesktop(file, std::move(ended))
            : host_.launchScreenshotTool(screenshotCommand(file, tool_), std::move(ended));
    if (failure) {
        host_.showScreenCaptureAlert(captureStartFailedMessage + *failure);
    }
}

void RegionCapture::toolEnded(const std::filesystem::path& file) {
    if (!host_.fileExists(file)) {
        return; // cancelled, or the tool wrote nothing
    }
    host_.recognizeText(file, [watch = lifetime_.watch(), file](const std::string& text) {
        if (RegionCapture* self = watch.get()) {
            self->recognized(file, text);
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
