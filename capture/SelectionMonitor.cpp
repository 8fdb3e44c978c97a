#include "capture/SelectionMonitor.h"

#include <cmath>

namespace ulvo {

namespace {

constexpr double plainClickDistance = 4.0;
constexpr double oneLineHeight = 6.0;

} // namespace

SelectionMonitor::SelectionMonitor(MonitorHost& host)
    : host_(host) {}

void SelectionMonitor::pollExternalSelection(Clock::time_point now) {
    const bool trusted = host_.accessibilityTrusted();
    if (!lastAccessibilityTrust_ || *lastAccessibilityTrust_ != trusted) {
        lastAccessibilityTrust_ = trusted;
        host_.setAccessibility(trusted);
    }
    if (!trusted || host_.frontmostIsSelf() || tagFromClipboard_) {
        return;
    }
    const SelectionResult selection = host_.globalSelection();
    if (selection.text.empty()) {
        selectionCandidate_.clear();
        shownTagSelection_.clear();
        host_.hideTag();
        return;
    }
    if (selection.text != selectionCandidate_) {
        selectionCandidate_ = selection.text;
        selectionCandidateSince_ = now;
        host_.hideTag();
        return;
    }
    if (selection.text == shownTagSelection_) {
        return;
    }
    if (std::chrono::duration<double>(now - selectionCandidateSince_).count() >= selectionStableDelay) {
        shownTagSelection_ = selection.text;
        host_.setPendingSelection(selection.text);
        host_.showTag(tagOrigin(selection.bounds));
    }
}

void SelectionMonitor::mouseDown(Point location) {
    mouseDownLocation_ = location;
    if (tagFromClipboard_) {
        tagFromClipboard_ = false;
        shownTagSelection_.clear();
        host_.hideTag();
    }
}

Point SelectionMonitor::tagOrigin(const std::optional<Rect>& bounds) {
    if (bounds) {
        if (const std::optional<Rect> screen = host_.mainScreenFrame()) {
            return {bounds->maxX() + 8, (screen->maxY() - bounds->maxY()) - 46};
        }
    }
    const Point pointer = host_.pointer();
    return {pointer.x + 12, pointer.y - 50};
}

void SelectionMonitor::handleGlobalMouseUp(int clickCount) {
    if (!host_.accessibilityTrusted() || host_.frontmostIsSelf() || clipboardTagBusy_) {
        return;
    }
    const Point end = host_.pointer();
    const Point start = mouseDownLocation_.value_or(end);
    if (std::hypot(end.x - start.x, end.y - start.y) <= plainClickDistance && clickCount < 2) {
        return;
    }
    Point anchor;
    if (std::abs(start.y - end.y) < oneLineHeight) {
        anchor = end.x < start.x ? start : end;
    } else {
        anchor = start.y < end.y ? start : end;
    }
    const std::optional<Rect> bounds = host_.globalSelection().bounds;
    clipboardTagBusy_ = true;
    std::weak_ptr<SelectionMonitor*> weak = alive_;
    host_.copySelectionViaClipboard([weak, bounds, anchor](const std::string& text) {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        SelectionMonitor& monitor = **self;
        monitor.clipboardTagBusy_ = false;
        if (text.empty()) {
            return;
        }
        monitor.shownTagSelection_ = text;
        monitor.host_.setPendingSelection(text);
        monitor.tagFromClipboard_ = true;
        const Point origin = bounds && bounds->width > 1 && bounds->height > 1
                                 ? monitor.tagOrigin(bounds)
                                 : Point{anchor.x + 12, anchor.y - tagHeight / 2};
        monitor.host_.showTag(origin);
    });
}

void SelectionMonitor::tagOpened() {
    host_.hideTag();
    tagFromClipboard_ = false;
}

void SelectionMonitor::cardShown() {
    host_.hideTag();
}

void SelectionMonitor::captureSelectionAndShow(
    std::function<void(const std::string&)> showCardWithSelection) {
    const SelectionResult selection = host_.globalSelection();
    if (!selection.text.empty()) {
        showCardWithSelection(selection.text);
        return;
    }
    std::weak_ptr<SelectionMonitor*> weak = alive_;
    host_.copySelectionViaClipboard([weak, show = std::move(showCardWithSelection)](const std::string& text) {
        if (weak.lock()) {
            show(text);
        }
    });
}

ClickCounter::ClickCounter(DoubleClickSettings settings)
    : time_(settings.milliseconds)
    , distance_(settings.distance) {}

int ClickCounter::press(std::uint32_t timeMilliseconds, Point location) {
    // Unsigned subtraction keeps the interval right across the server clock's wrap.
    const bool continues = lastTime_ && timeMilliseconds - *lastTime_ <= time_ &&
                           std::abs(location.x - lastLocation_.x) <= distance_ &&
                           std::abs(location.y - lastLocation_.y) <= distance_;
    count_ = continues ? count_ + 1 : 1;
    lastTime_ = timeMilliseconds;
    lastLocation_ = location;
    return count_;
}

} // namespace ulvo
