#pragma once

#include "capture/CaptureTypes.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ulvo {

// What the selection monitor needs from the desktop and the card; every call is on the main thread.
// Points are in screen coordinates with the origin at the bottom-left of the primary screen, y up.
class MonitorHost {
public:
    virtual ~MonitorHost() = default;
    virtual bool accessibilityTrusted() = 0;
    // Tells the card page whether selections can be read.
    virtual void setAccessibility(bool trusted) = 0;
    // Whether the active window belongs to this program.
    virtual bool frontmostIsSelf() = 0;
    virtual SelectionResult globalSelection() = 0;
    virtual void copySelectionViaClipboard(std::function<void(std::string)> completion) = 0;
    virtual Point pointer() = 0;
    // The primary screen's frame; absent without screens.
    virtual std::optional<Rect> mainScreenFrame() = 0;
    virtual void setPendingSelection(const std::string& text) = 0;
    virtual void showTag(Point origin) = 0;
    virtual void hideTag() = 0;
};

// The explain tag window's size.
inline constexpr double tagWidth = 88;
inline constexpr double tagHeight = 32;

// The 0.2 s poll, the mouse watchers and the explain tag's decisions.
class SelectionMonitor {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds pollInterval{200};
    static constexpr double selectionStableDelay = 0.45;

    explicit SelectionMonitor(MonitorHost& host);
    SelectionMonitor(const SelectionMonitor&) = delete;
    SelectionMonitor& operator=(const SelectionMonitor&) = delete;

    void pollExternalSelection(Clock::time_point now);
    // Left button pressed in another program's window, at the pointer position.
    void mouseDown(Point location);
    // Left button released in another program's window, with the press's click count.
    void handleGlobalMouseUp(int clickCount);
    // The tag's origin beside a selection rectangle (top-left based), or beside the pointer.
    Point tagOrigin(const std::optional<Rect>& bounds);
    // The tag was clicked: it hides; the card side then shows the pending selection.
    void tagOpened();
    // The card was shown by another road; the tag hides but keeps what it stood for.
    void cardShown();
    // Reads the selection (accessibility first, the synthetic copy second) and shows the card with it.
    void captureSelectionAndShow(std::function<void(const std::string&)> showCardWithSelection);

    const std::string& shownTagSelection() const { return shownTagSelection_; }
    bool tagFromClipboard() const { return tagFromClipboard_; }
    bool clipboardTagBusy() const { return clipboardTagBusy_; }

private:
    MonitorHost& host_;
    std::string selectionCandidate_;
    Clock::time_point selectionCandidateSince_ = Clock::time_point::min();
    std::string shownTagSelection_;
    std::optional<bool> lastAccessibilityTrust_;
    std::optional<Point> mouseDownLocation_;
    bool clipboardTagBusy_ = false;
    bool tagFromClipboard_ = false;
    std::shared_ptr<SelectionMonitor*> alive_ = std::make_shared<SelectionMonitor*>(this);
};

// Counts clicks from button presses: a press within the double-click time and distance of the previous
// one continues its count, anything else starts again at 1.
struct DoubleClickSettings {
    std::uint32_t milliseconds = 400;
    double distance = 5;
};

class ClickCounter {
public:
    explicit ClickCounter(DoubleClickSettings settings);
    // The click count of a press at a server time (milliseconds, wrapping) and screen position.
    int press(std::uint32_t timeMilliseconds, Point location);

private:
    std::uint32_t time_;
    double distance_;
    std::optional<std::uint32_t> lastTime_;
    Point lastLocation_;
    int count_ = 0;
};

} // namespace ulvo
