#pragma once

#include "capture/ClipboardCopy.h"
#include "capture/HotKeys.h"
#include "capture/RegionCapture.h"
#include "capture/SelectionMonitor.h"
#include "platform/linux/Session.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/wayland/FocusedWindow.h"

#include <gtk/gtk.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvo::wayland {
class GlobalShortcutsPortal;
class KGlobalAccelShortcuts;
} // namespace ulvo::wayland

namespace ulvo::x11 {

class XConnection;
class AtspiFocusedText;
class GtkClipboardPort;
class GtkPrimarySelection;
class XTestCopyKeystroke;
class RawButtonMonitor;
class HotKeyGrabber;
class ExplainTag;
class StatusItem;
class LinuxRegionCaptureHost;

// Selection capture on the X11 desktop, built piece by piece in the program's start-up order: the
// explain tag, the status item, the hot keys, the accessibility request and the selection monitor.
// Selections are read through accessibility, then the PRIMARY selection; the synthetic copy is the
// explicit roads' last resort and never reaches a terminal. Everything runs on the main thread. A
// capability the session lacks is said on standard error.
class DesktopCapture final : private MonitorHost {
public:
    // The card's side, provided by the application.
    struct Card {
        std::function<void(const std::string&)> showCardWithSelection; // "" keeps the previous selection
        std::function<void(const std::string&)> setPendingSelection;
        std::function<void(bool)> setAccessibility;
        std::function<void()> showSettings;
        std::function<void()> showHistory;
        std::function<void()> terminate;
        std::function<bool()> accessibilityTrusted; // default: the accessibility bus says enabled
        std::function<bool()> cardHasFocus;
        std::function<bool()> startAtLogin;
        std::function<void(bool)> setStartAtLogin;
        // A card is about to be asked for (a hot key, the tag): its page can start loading now.
        std::function<void()> prepareCard;
    };

    // In a Wayland session nothing of X11 is used: the hot keys go through the desktop's shortcuts
    // portal, the mouse watching behind the explain tag and the synthetic copy are said to be
    // unavailable, and region capture uses slurp and grim.
    explicit DesktopCapture(Card card, SessionKind session = currentSession());
    ~DesktopCapture() override;
    DesktopCapture(const DesktopCapture&) = delete;
    DesktopCapture& operator=(const DesktopCapture&) = delete;

    void buildTagPanel();
    // iconThemePath: an icon theme directory holding the program's icon, when there is one.
    void buildStatusItem(const std::optional<std::filesystem::path>& iconThemePath);
    void registerHotKey();
    // Switches toolkit accessibility on when it is off, and says so.
    void requestAccessibilityTrust();
    // Whether selections are read through accessibility at all; off, only the desktop's own selection
    // is read, and accessibility this program switched on goes off again.
    void setReadThroughAccessibility(bool on);
    bool readsThroughAccessibility() const { return readThroughAccessibility_; }
    void startSelectionMonitor();
    // The shut-down: hot keys, handler, monitors and poll go.
    void stop();

    void captureSelectionAndShow();
    void captureViaOCR();
    void openSelectionFromTag();
    void copySelectionViaClipboard(std::function<void(std::string)> completion) override;

    // What the session lacks, one sentence each, as said on standard error.
    const std::vector<std::string>& unavailableCapabilities() const { return notes_; }
    // How the hot keys are bound where the user may want to know (KDE's shortcut settings); "" else.
    const std::string& hotKeyNote() const { return hotKeyNote_; }

    GtkWidget* tagWindow() const;
    ExplainTag* tag() const { return tag_.get(); }
    // On Wayland, the bottom-right corner of the selection last read, where the compositor said where its
    // window is (card-logic coordinates): what stands in for the pointer there. Absent otherwise.
    std::optional<Point> selectionCorner();
    StatusItem* statusItem() const { return statusItem_.get(); }
    SelectionMonitor& monitor() { return monitor_; }
    bool hotKeyRegistered() const { return hotKey_; }
    bool hotKeyOCRRegistered() const { return hotKeyOCR_; }

private:
    // MonitorHost
    bool accessibilityTrusted() override;
    void setAccessibility(bool trusted) override { card_.setAccessibility(trusted); }
    bool frontmostIsSelf() override;
    unsigned long activeWindow() override;
    SelectionResult globalSelection() override;
    PrimarySelection& primarySelection() override;
    bool primaryHeldByActiveProgram() override;
    void runAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    std::optional<Point> pointer() override;
    std::optional<Rect> mainScreenFrame() override;
    void setPendingSelection(const std::string& text) override { card_.setPendingSelection(text); }
    void showTag(Point origin) override;
    void hideTag() override;
    void prepareCard() const {
        if (card_.prepareCard) {
            card_.prepareCard();
        }
    }

    // Says on standard error that a capability is unavailable and why, and keeps it for Settings.
    void unavailable(const std::string& capability, const std::string& reason);
    // The primary selection read once the card has the keyboard focus, the only time a compositor
    // without data-control hands it over; given up at the deadline.
    void readPrimaryOnceFocused(std::chrono::steady_clock::time_point deadline);
    static constexpr std::chrono::milliseconds focusWait{1000};
    // Alt+E or Alt+Shift+E, from the X server's grab or the desktop's shortcuts portal.
    void hotKeyPressed(HotKeyAction action);
    // Says that the hot keys of these action ids ("explain", "capture") are unavailable, and why.
    void hotKeysUnavailable(const std::string& reason, const std::vector<std::string>& ids);
    void registerWithKGlobalAccel(const std::string& portalReason);
    void buttonEvent(bool pressed, std::uint32_t time);
    bool pointerOverOwnWindow() const;
    // Whether a keystroke now would reach a terminal: by window class, or by accessibility role.
    bool keyboardTargetIsTerminal();
    // A selection's rectangle in the window's own coordinates (all a Wayland program tells) moved to
    // the layout's, through the compositor; absent where nothing says where the window is.
    std::optional<Rect> placedOnWayland(const SelectionResult& selection);

    Card card_;
    SessionKind session_;
    std::vector<std::string> notes_;
    std::unique_ptr<XConnection> connection_;
    std::unique_ptr<AtspiFocusedText> reader_;
    std::unique_ptr<GtkClipboardPort> clipboard_;
    std::unique_ptr<PrimarySelection> primary_;
    std::unique_ptr<HotKeyGrabber> hotKeys_;
    std::unique_ptr<wayland::GlobalShortcutsPortal> shortcutsPortal_;
    std::unique_ptr<wayland::KGlobalAccelShortcuts> kdeShortcuts_;
    std::string hotKeyNote_;
    std::unique_ptr<XTestCopyKeystroke> keystroke_;
    std::unique_ptr<ClipboardCopier> copier_;
    std::unique_ptr<ExplainTag> tag_;
    std::unique_ptr<StatusItem> statusItem_;
    std::unique_ptr<LinuxRegionCaptureHost> captureHost_;
    std::unique_ptr<RegionCapture> regionCapture_;
    std::unique_ptr<RawButtonMonitor> mouseMonitor_;
    std::unique_ptr<ClickCounter> clicks_;
    SelectionMonitor monitor_;
    int pressClickCount_ = 1;
    glib::SourceId selectionTimer_;
    bool focusThenRead_ = false;
    bool hotKey_ = false;
    bool hotKeyOCR_ = false;
    bool trusted_ = false;
    bool readThroughAccessibility_ = true;
    bool switchedAccessibilityOn_ = false;
    // Wayland: sway or KWin says where the focused window is, and layer surfaces let the tag be placed
    // there; held only where both are, so it is also whether the tag can show.
    std::unique_ptr<wayland::FocusedWindowSource> windows_;
    // The last rectangle placed, so a selection that stays asks the compositor once.
    std::optional<std::pair<SelectionResult, Rect>> lastPlaced_;
    std::optional<std::chrono::steady_clock::time_point> trustCheckedAt_;
};

} // namespace ulvo::x11
