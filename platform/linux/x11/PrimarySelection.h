#pragma once

#include "capture/PrimarySelection.h"
#include "platform/linux/glib/GObjectPtr.h"

#include <gtk/gtk.h>

#include <functional>

namespace ulvo::x11 {

// Whether one of this program's windows holds the primary selection (GDK knows its own windows).
bool primaryOwnedBySelf();

// The X11 PRIMARY selection through GTK. Connecting to the owner changes makes GDK ask the server for
// XFixes selection notifications, so every new selection is seen, whichever program makes it.
class GtkPrimarySelection final : public PrimarySelection {
public:
    // An owner that answers no request within this time counts as holding no text.
    static constexpr unsigned readLimitMilliseconds = 1000;

    // changed: called on the main thread for every owner change.
    explicit GtkPrimarySelection(std::function<void()> changed);
    ~GtkPrimarySelection() override = default;
    GtkPrimarySelection(const GtkPrimarySelection&) = delete;
    GtkPrimarySelection& operator=(const GtkPrimarySelection&) = delete;

    std::optional<std::uint32_t> ownerTime() override { return ownerTime_; }
    bool ownedBySelf() override;
    void readText(std::function<void(std::optional<std::string>)> completion) override;

private:
    static void ownerChanged(GtkClipboard*, GdkEvent*, gpointer data);

    GtkClipboard* primary_;
    std::function<void()> changed_;
    glib::SignalConnection ownerChange_;
    std::optional<std::uint32_t> ownerTime_;
};

} // namespace ulvo::x11
