#include "platform/linux/x11/DesktopCapture.h"

#include "capture/Terminals.h"
#include "platform/linux/SystemLanguage.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/MainThread.h"
#include "platform/linux/gtk/ScreenGeometry.h"
#include "platform/linux/x11/AtspiReader.h"
#include "platform/linux/x11/ExplainTag.h"
#include "platform/linux/x11/GlobalInput.h"
#include "platform/linux/x11/GtkClipboard.h"
#include "platform/linux/x11/PrimarySelection.h"
#include "platform/linux/x11/ScreenCapture.h"
#include "platform/linux/x11/StatusItem.h"
#include "platform/linux/x11/XConnection.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace ulvo::x11 {

DesktopCapture::DesktopCapture(Card card, SessionKind session, ScreenshotTool tool)
    : card_(std::move(card))
    , connection_(std::make_unique<XConnection>(session == SessionKind::x11))
    , monitor_(*this)
    , session_(session) {
    if (session_ == SessionKind::x11 && connection_->display() == nullptr) {
        unavailable("global input (hot keys, mouse watching, synthetic copy)",
                    "the X display cannot be opened");
    }
    reader_ = std::make_unique<AtspiFocusedText>([this]() -> unsigned long { return activeProgramPid(); });
    clipboard_ = std::make_unique<GtkClipboardPort>();
    hotKeys_ = std::make_unique<HotKeyGrabber>(*connection_,
                                               [this](std::uint32_t id) { hotKeyPressed(hotKeyAction(id)); });
    keystroke_ = std::make_unique<XTestCopyKeystroke>(
        *connection_, [this] { hotKeys_->releaseKeyboard(); }, [this] { return keyboardTargetIsTerminal(); });
    if (connection_->display() != nullptr && !keystroke_->available()) {
        unavailable("the synthetic copy", "the X server has no XTEST extension");
    }
    copier_ = std::make_unique<ClipboardCopier>(*clipboard_, *keystroke_, gtk::runOnMainThreadAfter);
    captureHost_ = std::make_unique<LinuxRegionCaptureHost>(
        [this](const std::string& text) { card_.showCardWithSelection(text); }, systemResponseLanguage());
    regionCapture_ = std::make_unique<RegionCapture>(*captureHost_, tool);
}

void DesktopCapture::unavailable(const std::string& capability, const std::string& reason) {
    std::fprintf(stderr, "ulvo: %s is unavailable: %s.\n", capability.c_str(), reason.c_str());
    std::string note = capability + " is unavailable: " + reason + ".";
    note[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(note[0])));
    notes_.push_back(std::move(note));
}

DesktopCapture::~DesktopCapture() {
    stop();
}

void DesktopCapture::buildTagPanel() {
    tag_ = std::make_unique<ExplainTag>([this] { openSelectionFromTag(); });
}

void DesktopCapture::buildStatusItem(const std::optional<std::filesystem::path>& iconThemePath) {
    StatusItem::Actions actions;
    actions.statusExplain = [this] { captureSelectionAndShow(); };
    actions.statusCapture = [this] { captureViaOCR(); };
    actions.showSettings = card_.showSettings;
    actions.showHistory = card_.showHistory;
    actions.terminate = card_.terminate;
    actions.startAtLogin = card_.startAtLogin;
    actions.setStartAtLogin = card_.setStartAtLogin;
    statusItem_ =
        std::make_unique<StatusItem>(std::move(actions), iconThemePath, session_ == SessionKind::x11);
}

void DesktopCapture::hotKeyPressed(HotKeyAction action) {
    if (action == HotKeyAction::capture) {
        // The screenshot tool needs the keyboard (Escape cancels); a held hot key still grabs it.
        hotKeys_->releaseKeyboard();
        captureViaOCR();
    } else {
        captureSelectionAndShow();
    }
}

void DesktopCapture::requestAccessibilityTrust() {
    const Result<bool> requested = requestAccessibility();
    if (!requested) {
        unavailable("reading selections through accessibility (AT-SPI)", requested.failure().message);
    } else if (!reader_->available()) {
        unavailable("reading selections through accessibility (AT-SPI)",
                    "the accessibility bus does not answer");
    } else if (*requested) {
        switchedAccessibilityOn_ = true;
        std::fprintf(stderr, "ulvo: switched the desktop's accessibility on to read selections; programs "
                             "started from now on expose their text to it. Settings can turn this off.\n");
    }
}

void DesktopCapture::setReadThroughAccessibility(bool on) {
    if (on == readThroughAccessibility_) {
        return;
    }
    readThroughAccessibility_ = on;
    trustCheckedAt_.reset();
    if (on) {
        requestAccessibilityTrust();
    } else if (switchedAccessibilityOn_) {
        // What this program switched on for itself goes back as it was.
        releaseAccessibility();
        switchedAccessibilityOn_ = false;
    }
}

void DesktopCapture::startSelectionMonitor() {
    selectionTimer_.reset(g_timeout_add(
        static_cast<guint>(SelectionMonitor::pollInterval.count()),
        [](gpointer data) -> gboolean {
            static_cast<DesktopCapture*>(data)->monitor_.pollExternalSelection(
                SelectionMonitor::Clock::now());
            return G_SOURCE_CONTINUE;
        },
        this));
    GtkSettings* settings = gtk_settings_get_default();
    gint time = 400;
    gint distance = 5;
    if (settings != nullptr) {
        g_object_get(settings, "gtk-double-click-time", &time, "gtk-double-click-distance", &distance,
                     nullptr);
    }
    clicks_ = std::make_unique<ClickCounter>(
        DoubleClickSettings{static_cast<std::uint32_t>(time), static_cast<double>(distance)});
    mouseMonitor_ = std::make_unique<RawButtonMonitor>(
        *connection_, [this](bool pressed, std::uint32_t eventTime) { buttonEvent(pressed, eventTime); });
    if (!mouseMonitor_->available() && session_ == SessionKind::x11) {
        unavailable("the explain tag after a mouse selection", mouseMonitor_->failure());
    }
}

void DesktopCapture::stop() {
    if (hotKey_) {
        hotKeys_->unregisterHotKey(explainHotKeyId);
        hotKey_ = false;
    }
    if (hotKeyOCR_) {
        hotKeys_->unregisterHotKey(captureHotKeyId);
        hotKeyOCR_ = false;
    }
    mouseMonitor_.reset();
    selectionTimer_.reset();
}

void DesktopCapture::buttonEvent(bool pressed, std::uint32_t time) {
    // The program's own windows are outside what the watchers observe.
    if (pointerOverOwnWindow()) {
        return;
    }
    // X button events: the pointer is always known where they come from.
    if (pressed) {
        const Point location = pointer().value_or(Point{});
        pressClickCount_ = clicks_->press(time, location);
        monitor_.mouseDown({location, pressClickCount_, time});
    } else {
        monitor_.handleGlobalMouseUp(pressClickCount_);
    }
}

bool DesktopCapture::pointerOverOwnWindow() const {
    GdkDisplay* display = gdk_display_get_default();
    GdkSeat* seat = display != nullptr ? gdk_display_get_default_seat(display) : nullptr;
    GdkDevice* device = seat != nullptr ? gdk_seat_get_pointer(seat) : nullptr;
    GdkWindow* under =
        device != nullptr ? gdk_device_get_window_at_position(device, nullptr, nullptr) : nullptr;
    // GDK wraps other programs' windows it has heard of (a selection's owner) as foreign windows.
    return under != nullptr && gdk_window_get_window_type(under) != GDK_WINDOW_FOREIGN;
}

void DesktopCapture::captureSelectionAndShow() {
    prepareCard(); // the web process starts while the selection is read
    if (focusThenRead_) {
        SelectionResult selection = globalSelection();
        if (selection.text.empty()) {
            // The card opens without asking about the previous selection again; what the focused card
            // reads then replaces it.
            card_.setPendingSelection({});
            card_.showCardWithSelection({});
            readPrimaryOnceFocused(std::chrono::steady_clock::now() + focusWait);
        } else {
            card_.showCardWithSelection(selection.text);
        }
        return;
    }
    monitor_.captureSelectionAndShow([this](const std::string& text) { card_.showCardWithSelection(text); });
}

void DesktopCapture::readPrimaryOnceFocused(std::chrono::steady_clock::time_point deadline) {
    const bool focused = card_.cardHasFocus && card_.cardHasFocus();
    if (!focused && std::chrono::steady_clock::now() < deadline) {
        runAfter(std::chrono::milliseconds(20), [this, deadline] { readPrimaryOnceFocused(deadline); });
        return;
    }
    if (!focused) {
        std::fprintf(stderr,
                     "ulvo: the card did not get the keyboard focus, so the selection could not be read.\n");
        return;
    }
    if (primary_->ownedBySelf()) {
        return;
    }
    primary_->readText([this](std::optional<std::string> text) {
        if (text && !text->empty()) {
            card_.showCardWithSelection(*text);
        }
    });
}

void DesktopCapture::captureViaOCR() {
    prepareCard(); // the card shows the framed text: its page loads while the user frames
    regionCapture_->captureViaOCR();
}

void DesktopCapture::openSelectionFromTag() {
    monitor_.tagOpened();
    // The pending selection already holds the tag's text; an empty text keeps it.
    card_.showCardWithSelection({});
}

void DesktopCapture::copySelectionViaClipboard(std::function<void(std::string)> completion) {
    copier_->copySelectionViaClipboard(std::move(completion));
}

void DesktopCapture::refreshStartAtLogin() {
    if (statusItem_) {
        statusItem_->refreshStartAtLogin();
    }
}

GtkWidget* DesktopCapture::tagWindow() const {
    return tag_ ? tag_->window() : nullptr;
}

bool DesktopCapture::accessibilityTrusted() {
    if (!readThroughAccessibility_) {
        return false;
    }
    // One bus round trip a second instead of five: a change is reported within a second.
    const auto now = std::chrono::steady_clock::now();
    if (!trustCheckedAt_ || now - *trustCheckedAt_ >= std::chrono::seconds(1)) {
        trusted_ = card_.accessibilityTrusted ? card_.accessibilityTrusted() : accessibilityEnabled();
        trustCheckedAt_ = now;
    }
    return trusted_;
}

bool DesktopCapture::primaryHeldByActiveProgram() {
    // A Wayland program cannot tell who holds a selection.
    return connection_ && connection_->primaryOwnedByActiveClient();
}

unsigned long DesktopCapture::activeWindow() {
    return connection_->activeWindow();
}

SelectionResult DesktopCapture::globalSelection() {
    if (!readThroughAccessibility_) {
        return {};
    }
    SelectionResult selection = ulvo::globalSelection(*reader_);
    selection.bounds = placedSelection(selection);
    return selection;
}

PrimarySelection& DesktopCapture::primarySelection() {
    return *primary_;
}

void DesktopCapture::runAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    gtk::runOnMainThreadAfter(delay, std::move(task));
}

bool DesktopCapture::keyboardTargetIsTerminal() {
    for (const WindowClass& target : connection_->keyboardTargetClasses()) {
        if (isTerminalWindowClass(target.instance, target.windowClass)) {
            return true;
        }
    }
    return reader_->focusedIsTerminal();
}

std::optional<Rect> DesktopCapture::mainScreenFrame() {
    const gtk::ScreenGeometry geometry(gdk_display_get_default());
    const std::vector<Screen> screens = geometry.screens();
    if (!geometry.mainScreen() || *geometry.mainScreen() >= screens.size()) {
        return std::nullopt;
    }
    return screens[*geometry.mainScreen()].frame;
}

void DesktopCapture::showTag(Point origin) {
    if (tag_ && tagCanShow()) {
        tag_->showAt(origin);
        prepareCard();
    }
}

void DesktopCapture::hideTag() {
    if (tag_) {
        tag_->hide();
    }
}

} // namespace ulvo::x11
