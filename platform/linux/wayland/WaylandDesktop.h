#pragma once

#include "platform/linux/wayland/FocusedWindow.h"
#include "platform/linux/x11/DesktopCapture.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ulvo::wayland {

class GlobalShortcutsPortal;
class KGlobalAccelShortcuts;

// The Wayland session's desktop: nothing of X11 is used. The hot keys go through the desktop's shortcuts
// portal (or KDE's shortcut service), the mouse watching behind the explain tag and the synthetic copy
// are said to be unavailable, the primary selection is read through data-control where the compositor
// offers it, and region capture uses slurp and grim or the screenshot portal.
class WaylandDesktop final : public x11::DesktopCapture {
public:
    explicit WaylandDesktop(Card card);
    ~WaylandDesktop() override;
    WaylandDesktop(const WaylandDesktop&) = delete;
    WaylandDesktop& operator=(const WaylandDesktop&) = delete;

    void registerHotKey() override;
    void stop() override;
    // The bottom-right corner of the selection last read, where the compositor said where its window is
    // (card-logic coordinates): what stands in for the pointer here. Absent otherwise.
    std::optional<Point> selectionCorner() override;

private:
    unsigned long activeProgramPid() override;
    // A Wayland compositor maps no pop-up without a parent window: there the tag is a layer surface.
    bool tagCanShow() const override { return windows_ != nullptr; }
    // A selection's rectangle in the window's own coordinates (all a Wayland program tells) moved to
    // the layout's, through the compositor; absent where nothing says where the window is.
    std::optional<Rect> placedSelection(const SelectionResult& selection) override;
    bool frontmostIsSelf() override;
    // Outside this program's own surfaces a Wayland pointer has no position that GDK can tell.
    std::optional<Point> pointer() override { return std::nullopt; }

    // Says that the hot keys of these action ids ("explain", "capture") are unavailable, and why.
    void hotKeysUnavailable(const std::string& reason, const std::vector<std::string>& ids);
    void registerWithKGlobalAccel(const std::string& portalReason);

    std::unique_ptr<GlobalShortcutsPortal> shortcutsPortal_;
    std::unique_ptr<KGlobalAccelShortcuts> kdeShortcuts_;
    // Sway or KWin says where the focused window is, and layer surfaces let the tag be placed there;
    // held only where both are, so it is also whether the tag can show.
    std::unique_ptr<FocusedWindowSource> windows_;
    // The last rectangle placed, so a selection that stays asks the compositor once.
    std::optional<std::pair<SelectionResult, Rect>> lastPlaced_;
};

} // namespace ulvo::wayland
