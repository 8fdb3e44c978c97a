#include "platform/linux/x11/DesktopCapture.h"

#include "capture/Terminals.h"
#include "platform/linux/SystemLanguage.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/gtk/MainThread.h"
#include "platform/linux/gtk/ScreenGeometry.h"
#include "platform/linux/wayland/DataControl.h"
#include "platform/linux/wayland/GlobalShortcutsPortal.h"
#include "platform/linux/wayland/Globals.h"
#include "platform/linux/wayland/KGlobalAccel.h"
#include "platform/linux/wayland/KWinActiveWindow.h"
#include "platform/linux/wayland/SwayIpc.h"
#include "platform/linux/x11/AtspiReader.h"
#include "platform/linux/x11/ExplainTag.h"
#include "platform/linux/x11/GlobalInput.h"
#include "platform/linux/x11/GtkClipboard.h"
#include "platform/linux/x11/PrimarySelection.h"
#include "platform/linux/x11/ScreenCapture.h"
#include "platform/linux/x11/StatusItem.h"
#include "platform/linux/x11/XConnection.h"

#include <X11/keysym.h>
#include <gtk-layer-shell/gtk-layer-shell.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace ulvo::x11 {

namespace {

bool onPath(const char* program) {
    return glib::GCharPtr(g_find_program_in_path(program)) != nullptr;
}

} // namespace

DesktopCapture::DesktopCapture(Card card, SessionKind session)
    : card_(std::move(card))
    , session_(session)
    , connection_(std::make_unique<XConnection>(session == SessionKind::x11))
    , monitor_(*this) {
    if (session_ == SessionKind::wayland) {
        // The tag belongs beside the selection. A Wayland program learns neither the pointer nor where
        // other windows are; sway and KWin tell the latter, and a layer surface can then be placed there.
        std::string reason = "this Wayland desktop tells no program where the selection or the pointer "
                             "is, so it has no place to appear (sway and KDE Plasma do)";
        if (gtk_layer_is_supported() == FALSE) {
            reason = "this Wayland desktop offers no layer surfaces to place it with";
        } else if (std::optional<wayland::SwayIpc> sway = wayland::SwayIpc::fromEnvironment()) {
            windows_ = std::make_unique<wayland::SwayIpc>(std::move(*sway));
        } else if (onDesktop("KDE")) {
            Result<std::unique_ptr<wayland::KWinActiveWindow>> kwin = wayland::KWinActiveWindow::start();
            if (kwin) {
                windows_ = std::move(*kwin);
            } else {
                reason = "KWin does not say where windows are: " + kwin.failure().message;
            }
        }
        if (!windows_) {
            unavailable("the explain tag", reason + "; use Alt+E or ulvo --explain instead");
        }
    } else if (connection_->display() == nullptr) {
        unavailable("global input (hot keys, mouse watching, synthetic copy)",
                    "the X display cannot be opened");
    }
    // The program behind the active window, where the element with the focus is searched: from X11,
    // or on Wayland from the compositor that says where windows are.
    reader_ = std::make_unique<AtspiFocusedText>(
        [connection = connection_.get(), windows = windows_.get()]() -> unsigned long {
            if (windows != nullptr) {
                const std::optional<wayland::FocusedWindow> window = windows->focusedWindow();
                return window ? static_cast<unsigned long>(window->pid) : 0;
            }
            return connection->activeWindowPid();
        });
    clipboard_ = std::make_unique<GtkClipboardPort>();
    auto changed = [this] { monitor_.primarySelectionChanged(); };
    if (session_ == SessionKind::wayland) {
        // Read without the focus where the compositor offers data-control (KDE, wlroots).
        primary_ = wayland::DataControlPrimarySelection::connect(changed, primaryOwnedBySelf);
        // Elsewhere (GNOME) the compositor hands the primary selection only to the focused program:
        // the card opens first, then reads it.
        focusThenRead_ = !primary_;
    }
    if (!primary_) {
        primary_ = std::make_unique<GtkPrimarySelection>(changed);
    }
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
    ScreenshotTool tool = session_ == SessionKind::wayland ? ScreenshotTool::grimSlurp : ScreenshotTool::maim;
    if (tool == ScreenshotTool::grimSlurp) {
        // slurp and grim where the compositor lets programs capture the screen (wlroots); the desktop's
        // screenshot portal elsewhere, which says at capture time when it is missing.
        const std::vector<std::string> globals = wayland::compositorGlobals();
        const bool screencopy =
            std::find(globals.begin(), globals.end(), "zwlr_screencopy_manager_v1") != globals.end();
        if (!screencopy || !onPath("slurp") || !onPath("grim")) {
            tool = ScreenshotTool::portal;
        }
    }
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

void DesktopCapture::hotKeysUnavailable(const std::string& reason, const std::vector<std::string>& ids) {
    for (const std::string& id : ids) {
        const bool explain = id == "explain";
        unavailable(explain ? "the hot key Alt+E" : "the hot key Alt+Shift+E",
                    reason + "; bind \"ulvo --" + id + "\" in the desktop's keyboard settings");
    }
}

void DesktopCapture::registerWithKGlobalAccel(const std::string& portalReason) {
    wayland::KGlobalAccelShortcuts::Events events;
    events.activated = [this](HotKeyAction action) { hotKeyPressed(action); };
    events.ready = [this](const std::vector<std::string>& bound) {
        std::vector<std::string> missing;
        for (const char* id : {"explain", "capture"}) {
            if (std::find(bound.begin(), bound.end(), id) == bound.end()) {
                missing.emplace_back(id);
            }
        }
        hotKeyNote_ = "Alt+E and Alt+Shift+E are KDE global shortcuts of ULVO (the desktop's portal binds "
                      "none for it); change them in System Settings, Shortcuts.";
        if (missing.empty()) {
            std::fprintf(stderr, "ulvo: Alt+E and Alt+Shift+E are registered with KDE's global shortcuts.\n");
        }
        hotKeysUnavailable("another program holds the key in KDE's shortcuts", missing);
    };
    events.unavailable = [this, portalReason](const std::string& reason) {
        hotKeysUnavailable(portalReason + ", and " + reason, {"explain", "capture"});
    };
    kdeShortcuts_ = std::make_unique<wayland::KGlobalAccelShortcuts>(std::move(events));
}

void DesktopCapture::registerHotKey() {
    if (session_ == SessionKind::wayland) {
        // The desktop holds global keys: through its portal where it has one; the desktop's own key
        // bindings can always run ulvo --explain and --capture.
        wayland::GlobalShortcutsPortal::Events events;
        events.activated = [this](HotKeyAction action) { hotKeyPressed(action); };
        events.ready = [](const std::vector<std::string>& ids) {
            std::string list;
            for (const std::string& id : ids) {
                list += (list.empty() ? "" : ", ") + id;
            }
            std::fprintf(stderr, "ulvo: the desktop's global shortcuts hold: %s.\n", list.c_str());
        };
        events.unavailable = [this](const std::string& reason) {
            // KDE Plasma's own programs register their keys with its shortcut service; so can this one.
            if (onDesktop("KDE")) {
                registerWithKGlobalAccel(reason);
                return;
            }
            hotKeysUnavailable(reason, {"explain", "capture"});
        };
        shortcutsPortal_ = std::make_unique<wayland::GlobalShortcutsPortal>(std::move(events));
        return;
    }
    const Result<void> explain = hotKeys_->registerHotKey({explainHotKeyId, XK_e, hotKeys_->masks().alt});
    hotKey_ = explain.ok();
    if (!explain) {
        unavailable("the hot key Alt+E", explain.failure().message);
    }
    const Result<void> capture =
        hotKeys_->registerHotKey({captureHotKeyId, XK_e, hotKeys_->masks().alt | hotKeys_->masks().shift});
    hotKeyOCR_ = capture.ok();
    if (!capture) {
        unavailable("the hot key Alt+Shift+E", capture.failure().message);
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
    kdeShortcuts_.reset();
    shortcutsPortal_.reset();
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

bool DesktopCapture::frontmostIsSelf() {
    // A Wayland program knows only whether one of its own windows has the keyboard.
    if (session_ == SessionKind::wayland) {
        const glib::GListPtr windows(gtk_window_list_toplevels());
        for (GList* item = windows.get(); item != nullptr; item = item->next) {
            if (gtk_window_is_active(static_cast<GtkWindow*>(item->data)) != FALSE) {
                return true;
            }
        }
        return false;
    }
    return connection_->display() != nullptr &&
           connection_->activeWindowPid() == static_cast<unsigned long>(getpid());
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
    if (session_ == SessionKind::wayland) {
        selection.bounds = placedOnWayland(selection);
    }
    return selection;
}

std::optional<Rect> DesktopCapture::placedOnWayland(const SelectionResult& selection) {
    if (!windows_ || !selection.bounds) {
        lastPlaced_.reset();
        return std::nullopt;
    }
    if (lastPlaced_ && lastPlaced_->first == selection) {
        return lastPlaced_->second;
    }
    // GTK and Qt on Wayland give extents relative to their window. Not knowing where that is yet (KWin
    // reports a moment after the start) is not remembered: a later poll asks again.
    const std::optional<wayland::FocusedWindow> window = windows_->focusedWindow();
    if (!window) {
        lastPlaced_.reset();
        return std::nullopt;
    }
    const Rect placed{window->content.x + selection.bounds->x, window->content.y + selection.bounds->y,
                      selection.bounds->width, selection.bounds->height};
    lastPlaced_ = std::pair{selection, placed};
    return placed;
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

std::optional<Point> DesktopCapture::selectionCorner() {
    const std::optional<Rect> screen = mainScreenFrame();
    if (!lastPlaced_ || !screen) {
        return std::nullopt;
    }
    const Rect& placed = lastPlaced_->second;
    return Point{placed.maxX(), screen->maxY() - placed.maxY()};
}

std::optional<Point> DesktopCapture::pointer() {
    // Outside this program's own surfaces a Wayland pointer has no position that GDK can tell.
    if (session_ == SessionKind::wayland) {
        return std::nullopt;
    }
    return gtk::ScreenGeometry(gdk_display_get_default()).pointer();
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
    // A Wayland compositor maps no pop-up without a parent window: there the tag is a layer surface.
    if (tag_ && (session_ == SessionKind::x11 || windows_)) {
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
