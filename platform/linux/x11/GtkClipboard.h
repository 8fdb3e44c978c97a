#pragma once

#include "base/Lifetime.h"
#include "capture/ClipboardCopy.h"
#include "platform/linux/glib/GObjectPtr.h"
#include "platform/linux/x11/XConnection.h"

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>

namespace ulvo::x11 {

// The X11 CLIPBOARD selection through GTK. A snapshot asks the owner for every target it offers; a
// restore owns the clipboard again and serves those targets with the same types, formats and bytes.
class GtkClipboardPort final : public ClipboardPort {
public:
    // An owner that answers no request within this time is left behind; what arrived is kept.
    static constexpr unsigned snapshotLimitMilliseconds = 1000;

    GtkClipboardPort();
    ~GtkClipboardPort() override;
    GtkClipboardPort(const GtkClipboardPort&) = delete;
    GtkClipboardPort& operator=(const GtkClipboardPort&) = delete;

    void snapshot(std::function<void(ClipboardSnapshot)> completion) override;
    std::uint64_t changeCount() override { return changeCount_; }
    void readText(std::function<void(std::optional<std::string>)> completion) override;
    void restore(ClipboardSnapshot snapshot) override;

private:
    struct Owned;
    static void ownerChanged(GtkClipboard*, GdkEvent*, gpointer data);
    static void serve(GtkClipboard*, GtkSelectionData* data, guint info, gpointer owned);
    static void cleared(GtkClipboard*, gpointer owned);

    GtkClipboard* clipboard_;
    glib::SignalConnection ownerChanged_;
    std::uint64_t changeCount_ = 0;
    std::uint64_t generation_ = 0;
    bool owning_ = false;
    Lifetime<GtkClipboardPort> lifetime_{this};
};

// A selection's text (UTF8_STRING, then the other text targets); absent when the owner offers none or
// does not answer within the limit. The completion runs once, on the main thread.
void requestTextWithin(GtkClipboard* selection, unsigned limitMilliseconds,
                       std::function<void(std::optional<std::string>)> completion);

// Control+C through XTest. Modifiers the user still holds (Alt of the hot key) are let go around the
// keystroke so the application sees Control+C alone, and the hot key's keyboard grab is ended first so
// the keystroke reaches the focused window.
class XTestCopyKeystroke final : public CopyKeystroke {
public:
    // isTerminal: whether the keystroke would reach a terminal.
    XTestCopyKeystroke(XConnection& connection, std::function<void()> releaseKeyboard,
                       std::function<bool()> isTerminal);
    bool available() const { return available_; }
    bool targetIsTerminal() override { return isTerminal_ && isTerminal_(); }
    bool sendCopy() override;

private:
    XConnection& connection_;
    std::function<void()> releaseKeyboard_;
    std::function<bool()> isTerminal_;
    bool available_ = false;
};

} // namespace ulvo::x11
