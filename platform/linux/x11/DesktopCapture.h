#pragma once

#include "capture/ClipboardCopy.h"
#include "capture/HotKeys.h"
#include "capture/RegionCapture.h"
#include "capture/SelectionMonitor.h"
#include "platform/linux/Session.h"
#include "platform/linux/desktop/Desktop.h"
#include "platform/linux/glib/GObjectPtr.h"

#include <gtk/gtk.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// What the X11 and Wayland desktops share: accessibility, the toolkit's clipboard and primary selection,
// the explain tag, the status item, the selection monitor and region capture. Selections are read through
// accessibility, then the primary selection; the synthetic copy is the explicit roads' last resort and
// never reaches a terminal. Each session's desktop adds its hot keys, pointer and window knowledge.
class DesktopCapture : public desktop::Desktop, private MonitorHost {
public:
    ~DesktopCapture() override;
    DesktopCapture(const DesktopCapture&) = delete;
    DesktopCapture& operator=(const DesktopCapture&) = delete;

    void buildTagPanel() override;
    void buildStatusItem(const std::optional<std::filesystem::path>& iconThemePath) override;
    void requestAccessibilityTrust() override;
    void setReadThroughAccessibility(bool on) override;
    bool readsThroughAccessibility() const override { return readThroughAccessibility_; }
    void startSelectionMonitor() override;
    void stop() override;

    void captureSelectionAndShow() override;
    void captureViaOCR() override;
    void openSelectionFromTag();
    void copySelectionViaClipboard(std::function<void(std::string)> completion) override;

    const std::vector<std::string>& unavailableCapabilities() const override { return notes_; }
    const std::string& hotKeyNote() const override { return hotKeyNote_; }
    GtkWidget* tagWindow() const override;
    void refreshStartAtLogin() override;

    ExplainTag* tag() const { return tag_.get(); }
    StatusItem* statusItem() const { return statusItem_.get(); }
    SelectionMonitor& monitor() { return monitor_; }
    bool hotKeyRegistered() const { return hotKey_; }
    bool hotKeyOCRRegistered() const { return hotKeyOCR_; }

protected:
    // session: which X connection is opened (none on Wayland); tool: how a region is captured.
    DesktopCapture(Card card, SessionKind session, ScreenshotTool tool);

    // Says on standard error that a capability is unavailable and why, and keeps it for Settings.
    void unavailable(const std::string& capability, const std::string& reason);
    // Alt+E or Alt+Shift+E, from the X server's grab or the desktop's shortcuts portal.
    void hotKeyPressed(HotKeyAction action);
    // The process behind the active window, where the element with the focus is searched; 0 unknown.
    virtual unsigned long activeProgramPid() = 0;
    // Whether the tag can show at all in this session.
    virtual bool tagCanShow() const = 0;
    // A selection's rectangle as the session can place it; unchanged by default.
    virtual std::optional<Rect> placedSelection(const SelectionResult& selection) { return selection.bounds; }

    // MonitorHost
    bool accessibilityTrusted() override;
    void setAccessibility(bool trusted) override { card_.setAccessibility(trusted); }
    unsigned long activeWindow() override;
    SelectionResult globalSelection() override;
    PrimarySelection& primarySelection() override;
    bool primaryHeldByActiveProgram() override;
    void runAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    std::optional<Rect> mainScreenFrame() override;
    void setPendingSelection(const std::string& text) override { card_.setPendingSelection(text); }
    void showTag(Point origin) override;
    void hideTag() override;
    void prepareCard() const {
        if (card_.prepareCard) {
            card_.prepareCard();
        }
    }

    Card card_;
    std::unique_ptr<XConnection> connection_;
    std::unique_ptr<PrimarySelection> primary_;
    std::unique_ptr<HotKeyGrabber> hotKeys_;
    std::string hotKeyNote_;
    SelectionMonitor monitor_;
    // The compositor hands the primary selection only to the focused program (GNOME on Wayland): the
    // card opens first, then reads it.
    bool focusThenRead_ = false;
    bool hotKey_ = false;
    bool hotKeyOCR_ = false;

private:
    // The primary selection read once the card has the keyboard focus, the only time a compositor
    // without data-control hands it over; given up at the deadline.
    void readPrimaryOnceFocused(std::chrono::steady_clock::time_point deadline);
    static constexpr std::chrono::milliseconds focusWait{1000};
    void buttonEvent(bool pressed, std::uint32_t time);
    bool pointerOverOwnWindow() const;
    // Whether a keystroke now would reach a terminal: by window class, or by accessibility role.
    bool keyboardTargetIsTerminal();

    std::vector<std::string> notes_;
    SessionKind session_;
    std::unique_ptr<AtspiFocusedText> reader_;
    std::unique_ptr<GtkClipboardPort> clipboard_;
    std::unique_ptr<XTestCopyKeystroke> keystroke_;
    std::unique_ptr<ClipboardCopier> copier_;
    std::unique_ptr<ExplainTag> tag_;
    std::unique_ptr<StatusItem> statusItem_;
    std::unique_ptr<LinuxRegionCaptureHost> captureHost_;
    std::unique_ptr<RegionCapture> regionCapture_;
    std::unique_ptr<RawButtonMonitor> mouseMonitor_;
    std::unique_ptr<ClickCounter> clicks_;
    int pressClickCount_ = 1;
    glib::SourceId selectionTimer_;
    bool trusted_ = false;
    bool readThroughAccessibility_ = true;
    bool switchedAccessibilityOn_ = false;
    std::optional<std::chrono::steady_clock::time_point> trustCheckedAt_;
};

} // namespace ulvo::x11
