#include "platform/linux/wayland/WaylandDesktop.h"

#include "platform/linux/Session.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/wayland/DataControl.h"
#include "platform/linux/wayland/GlobalShortcutsPortal.h"
#include "platform/linux/wayland/Globals.h"
#include "platform/linux/wayland/KGlobalAccel.h"
#include "platform/linux/wayland/KWinActiveWindow.h"
#include "platform/linux/wayland/SwayIpc.h"
#include "platform/linux/x11/PrimarySelection.h"

#include <gtk-layer-shell/gtk-layer-shell.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>

namespace ulvo::wayland {

namespace {

bool onPath(const char* program) {
    return glib::GCharPtr(g_find_program_in_path(program)) != nullptr;
}

// slurp and grim where the compositor lets programs capture the screen (wlroots); the desktop's
// screenshot portal elsewhere, which says at capture time when it is missing.
ScreenshotTool screenshotTool() {
    const std::vector<std::string> globals = compositorGlobals();
    const bool screencopy =
        std::find(globals.begin(), globals.end(), "zwlr_screencopy_manager_v1") != globals.end();
    return screencopy && onPath("slurp") && onPath("grim") ? ScreenshotTool::grimSlurp
                                                           : ScreenshotTool::portal;
}

} // namespace

WaylandDesktop::WaylandDesktop(Card card)
    : DesktopCapture(std::move(card), SessionKind::wayland, screenshotTool()) {
    // The tag belongs beside the selection. A Wayland program learns neither the pointer nor where
    // other windows are; sway and KWin tell the latter, and a layer surface can then be placed there.
    std::string reason = "this Wayland desktop tells no program where the selection or the pointer "
                         "is, so it has no place to appear (sway and KDE Plasma do)";
    if (gtk_layer_is_supported() == FALSE) {
        reason = "this Wayland desktop offers no layer surfaces to place it with";
    } else if (std::optional<SwayIpc> sway = SwayIpc::fromEnvironment()) {
        windows_ = std::make_unique<SwayIpc>(std::move(*sway));
    } else if (onDesktop("KDE")) {
        Result<std::unique_ptr<KWinActiveWindow>> kwin = KWinActiveWindow::start();
        if (kwin) {
            windows_ = std::move(*kwin);
        } else {
            reason = "KWin does not say where windows are: " + kwin.failure().message;
        }
    }
    if (!windows_) {
        unavailable("the explain tag", reason + "; use Alt+E or ulvo --explain instead");
    }
    auto changed = [this] { monitor_.primarySelectionChanged(); };
    // Read without the focus where the compositor offers data-control (KDE, wlroots).
    primary_ = DataControlPrimarySelection::connect(changed, x11::primaryOwnedBySelf);
    // Elsewhere (GNOME) the compositor hands the primary selection only to the focused program.
    focusThenRead_ = !primary_;
    if (!primary_) {
        primary_ = std::make_unique<x11::GtkPrimarySelection>(changed);
    }
}

WaylandDesktop::~WaylandDesktop() {
    stop();
}

void WaylandDesktop::stop() {
    kdeShortcuts_.reset();
    shortcutsPortal_.reset();
    DesktopCapture::stop();
}

unsigned long WaylandDesktop::activeProgramPid() {
    // The program behind the active window comes from the compositor that says where windows are.
    if (windows_) {
        const std::optional<FocusedWindow> window = windows_->focusedWindow();
        return window ? static_cast<unsigned long>(window->pid) : 0;
    }
    return 0; // no X server to ask
}

void WaylandDesktop::hotKeysUnavailable(const std::string& reason, const std::vector<std::string>& ids) {
    for (const std::string& id : ids) {
        const bool explain = id == "explain";
        unavailable(explain ? "the hot key Alt+E" : "the hot key Alt+Shift+E",
                    reason + "; bind \"ulvo --" + id + "\" in the desktop's keyboard settings");
    }
}

void WaylandDesktop::registerWithKGlobalAccel(const std::string& portalReason) {
    KGlobalAccelShortcuts::Events events;
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
    kdeShortcuts_ = std::make_unique<KGlobalAccelShortcuts>(std::move(events));
}

void WaylandDesktop::registerHotKey() {
    // The desktop holds global keys: through its portal where it has one; the desktop's own key
    // bindings can always run ulvo --explain and --capture.
    GlobalShortcutsPortal::Events events;
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
    shortcutsPortal_ = std::make_unique<GlobalShortcutsPortal>(std::move(events));
}

bool WaylandDesktop::frontmostIsSelf() {
    // A Wayland program knows only whether one of its own windows has the keyboard.
    const glib::GListPtr windows(gtk_window_list_toplevels());
    for (GList* item = windows.get(); item != nullptr; item = item->next) {
        if (gtk_window_is_active(static_cast<GtkWindow*>(item->data)) != FALSE) {
            return true;
        }
    }
    return false;
}

std::optional<Rect> WaylandDesktop::placedSelection(const SelectionResult& selection) {
    if (!windows_ || !selection.bounds) {
        lastPlaced_.reset();
        return std::nullopt;
    }
    if (lastPlaced_ && lastPlaced_->first == selection) {
        return lastPlaced_->second;
    }
    // GTK and Qt on Wayland give extents relative to their window. Not knowing where that is yet (KWin
    // reports a moment after the start) is not remembered: a later poll asks again.
    const std::optional<FocusedWindow> window = windows_->focusedWindow();
    if (!window) {
        lastPlaced_.reset();
        return std::nullopt;
    }
    const Rect placed{window->content.x + selection.bounds->x, window->content.y + selection.bounds->y,
                      selection.bounds->width, selection.bounds->height};
    lastPlaced_ = std::pair{selection, placed};
    return placed;
}

std::optional<Point> WaylandDesktop::selectionCorner() {
    const std::optional<Rect> screen = mainScreenFrame();
    if (!lastPlaced_ || !screen) {
        return std::nullopt;
    }
    const Rect& placed = lastPlaced_->second;
    return Point{placed.maxX(), screen->maxY() - placed.maxY()};
}

} // namespace ulvo::wayland
