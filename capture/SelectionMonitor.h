#pragma once

#include "base/Lifetime.h"
#include "capture/CaptureTypes.h"
#include "capture/PrimarySelection.h"

#include <chrono>
#include <cstdint>
#include <functional>
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
    // The active window's identity; 0 when unknown.
    virtual unsigned long activeWindow() = 0;
    virtual SelectionResult globalSelection() = 0;
    // The desktop's current selection, for what accessibility does not expose.
    virtual PrimarySelection& primarySelection() = 0;
    // Whether the program the user is in holds the desktop's current selection: then it is that
    // program's own selection, whole, where accessibility may expose a part (one paragraph of a
    // document) or an element that no longer has the focus. False where the session cannot tell.
    virtual bool primaryHeldByActiveProgram() { return false; }
    // The last resort of the explicit roads; it never sends a keystroke to a terminal.
    virtual void copySelectionViaClipboard(std::function<void(std::string)> completion) = 0;
    // Runs a task on the main thread after a delay.
    virtual void runAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
    // Absent where the session does not tell (Wayland, outside this program's windows).
    virtual std::optional<Point> pointer() = 0;
    // The primary screen's frame; absent without screens.
    virtual std::optional<Rect> mainScreenFrame() = 0;
    virtual void setPendingSelection(const std::string& text) = 0;
    virtual void showTag(Point origin) = 0;
    virtual void hideTag() = 0;
};

// A left-button press in another program's window: where, its click count, and its server time
// (milliseconds, wrapping).
struct ButtonPress {
    Point location;
    int clickCount = 1;
    std::uint32_t serverTime = 0;
};

// The explain tag window's size.
inline constexpr double tagWidth = 88;
inline constexpr double tagHeight = 32;

// The 0.2 s poll, the mouse watchers and the explain tag's decisions.
//
// Two roads show the tag: the poll reads accessibility and shows it for a selection that stayed the same
// for 0.45 s; a selecting mouse-up shows it at once with the desktop's current selection, but only when
// that selection changed after the press, so an old selection never comes back after a drag that
// selected nothing. Neither road sends a keystroke.
class SelectionMonitor {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds pollInterval{200};
    static constexpr double selectionStableDelay = 0.45;
    // How long a mouse-up waits for the selection to change: terminals take it at the release.
    static constexpr std::chrono::milliseconds selectionChangeWait{250};

    explicit SelectionMonitor(MonitorHost& host);
    SelectionMonitor(const SelectionMonitor&) = delete;
    SelectionMonitor& operator=(const SelectionMonitor&) = delete;

    void pollExternalSelection(Clock::time_point now);
    // Left button pressed in another program's window.
    void mouseDown(const ButtonPress& press);
    // Left button released in another program's window, with the press's click count.
    void handleGlobalMouseUp(int clickCount);
    // The desktop announced a new owner of its current selection.
    void primarySelectionChanged();
    // The tag's origin beside a selection rectangle (top-left based), or beside the pointer; absent
    // when neither is known.
    std::optional<Point> tagOrigin(const std::optional<Rect>& bounds);
    // The tag was clicked: it hides; the card side then shows the pending selection.
    void tagOpened();
    // The card was shown by another road; the tag hides but keeps what it stood for.
    void cardShown();
    // Reads the current selection (accessibility, then the desktop's selection, then as a last resort
    // the synthetic copy) and shows the card with it.
    void captureSelectionAndShow(std::function<void(const std::string&)> showCardWithSelection);
    // The current selection without the copy: accessibility first, then the desktop's selection unless
    // this program holds it. The completion runs once on the main thread with trimmed text or "".
    void readCurrentSelection(std::function<void(std::string)> completion);

    const std::string& shownTagSelection() const { return shownTagSelection_; }
    bool tagFromMouseSelection() const { return tagFromMouseSelection_; }
    bool mouseTagBusy() const { return mouseTagBusy_; }

private:
    // A selecting mouse-up waiting for, or reading, the desktop's new selection.
    struct MouseSelection {
        std::optional<Rect> bounds;
        Point anchor;
        std::uint64_t attempt = 0;
    };
    void readPrimary(std::function<void(std::string)> completion);
    // The tag just shown for an accessibility selection stands for the program's whole selection.
    void takeWholeSelectionForTag();
    bool primaryIsFresh();
    void readMouseSelection();
    void showMouseTag(const MouseSelection& selection, const std::string& text);
    void dismissMouseTag();

    MonitorHost& host_;
    std::string selectionCandidate_;
    Clock::time_point selectionCandidateSince_ = Clock::time_point::min();
    std::string shownTagSelection_;
    std::optional<bool> lastAccessibilityTrust_;
    std::optional<Point> mouseDownLocation_;
    // The server time of the press that began the click sequence.
    std::optional<std::uint32_t> sequenceStart_;
    std::optional<MouseSelection> awaitingSelection_;
    std::uint64_t mouseUps_ = 0;
    bool mouseTagBusy_ = false;
    bool tagFromMouseSelection_ = false;
    // The active window when the mouse-selection tag was shown: another one taking over hides it.
    unsigned long tagWindow_ = 0;
    Lifetime<SelectionMonitor> lifetime_{this};
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
