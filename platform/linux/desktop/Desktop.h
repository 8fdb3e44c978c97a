#pragma once

#include "base/Geometry.h"

#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ulvo::desktop {

// The card's side of the desktop, provided by the application.
struct DesktopCard {
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

// Selection capture on the user's desktop, built piece by piece in the program's start-up order: the
// explain tag, the status item, the hot keys, the accessibility request and the selection monitor.
// One implementation per session (X11, Wayland); everything runs on the main thread. A capability the
// session lacks is said on standard error.
class Desktop {
public:
    using Card = DesktopCard;

    virtual ~Desktop() = default;

    virtual void buildTagPanel() = 0;
    // iconThemePath: an icon theme directory holding the program's icon, when there is one.
    virtual void buildStatusItem(const std::optional<std::filesystem::path>& iconThemePath) = 0;
    virtual void registerHotKey() = 0;
    // Switches toolkit accessibility on when it is off, and says so.
    virtual void requestAccessibilityTrust() = 0;
    // Whether selections are read through accessibility at all; off, only the desktop's own selection
    // is read, and accessibility this program switched on goes off again.
    virtual void setReadThroughAccessibility(bool on) = 0;
    virtual bool readsThroughAccessibility() const = 0;
    virtual void startSelectionMonitor() = 0;
    // The shut-down: hot keys, handler, monitors and poll go.
    virtual void stop() = 0;

    virtual void captureSelectionAndShow() = 0;
    virtual void captureViaOCR() = 0;
    virtual void copySelectionViaClipboard(std::function<void(std::string)> completion) = 0;

    // What the session lacks, one sentence each, as said on standard error.
    virtual const std::vector<std::string>& unavailableCapabilities() const = 0;
    // How the hot keys are bound where the user may want to know (KDE's shortcut settings); "" else.
    virtual const std::string& hotKeyNote() const = 0;
    virtual GtkWidget* tagWindow() const = 0;
    // Where the selection last read ends, when the pointer cannot say where the card belongs (card-logic
    // coordinates); absent otherwise.
    virtual std::optional<Point> selectionCorner() = 0;
    // The status menu's "Start at login" follows a change made elsewhere.
    virtual void refreshStartAtLogin() = 0;
};

} // namespace ulvo::desktop
