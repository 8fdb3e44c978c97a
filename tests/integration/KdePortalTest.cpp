// The hot keys through KDE Plasma's global-shortcuts portal (scripts/private-session --kde: a headless
// KWin, kglobalaccel, xdg-desktop-portal and KDE's backend). Where the portal binds them, invoking one
// through kglobalaccel dispatches it and a second start binds nothing again; where it binds nothing (a portal
// that cannot tell which program outside a sandbox asked), the program says so plainly instead of waiting for
// keys that never come. The explain tag shows beside a selection, placed where KWin says the window is.
#include <gtest/gtest.h>

#include "platform/linux/wayland/GlobalShortcutsPortal.h"
#include "platform/linux/wayland/WaylandDesktop.h"
#include "platform/linux/x11/ExplainTag.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/integration/FocusedSelection.h"
#include "tests/integration/Subprocess.h"

#include <gtk-layer-shell/gtk-layer-shell.h>

#include <gtk/gtk.h>

#include <csignal>
#include <optional>
#include <sstream>

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using test::pumpUntil;

struct Outcome {
    std::optional<std::vector<std::string>> ready;
    std::optional<std::string> unavailable;
    std::vector<HotKeyAction> activated;
    bool settled() const { return ready || unavailable; }
};

std::unique_ptr<wayland::GlobalShortcutsPortal> startPortal(Outcome& outcome) {
    wayland::GlobalShortcutsPortal::Events events;
    events.ready = [&outcome](const std::vector<std::string>& ids) { outcome.ready = ids; };
    events.unavailable = [&outcome](const std::string& reason) { outcome.unavailable = reason; };
    events.activated = [&outcome](HotKeyAction action) { outcome.activated.push_back(action); };
    return std::make_unique<wayland::GlobalShortcutsPortal>(std::move(events));
}

// Counts the portal's ListShortcuts and BindShortcuts calls on the session bus, as dbus-monitor sees them.
class CallCounter {
public:
    CallCounter() {
        const char* argv[] = {"dbus-monitor", "--session",
                              "type='method_call',interface='org.freedesktop.portal.GlobalShortcuts'",
                              nullptr};
        GError* error = nullptr;
        int out = -1;
        if (g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                                     nullptr, &pid_, nullptr, &out, nullptr, &error) == FALSE) {
            ADD_FAILURE() << "dbus-monitor: " << error->message;
            g_error_free(error);
            return;
        }
        channel_ = g_io_channel_unix_new(out);
        g_io_channel_set_close_on_unref(channel_, TRUE);
        g_io_channel_set_encoding(channel_, nullptr, nullptr);
        g_io_channel_set_flags(channel_, G_IO_FLAG_NONBLOCK, nullptr);
        watch_ =
            g_io_add_watch(channel_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), &CallCounter::read, this);
        // The monitor is listening once it has printed its own name's signals.
        pumpUntil([this] { return text_.find("NameAcquired") != std::string::npos; }, 5s);
    }
    ~CallCounter() {
        if (watch_ != 0) {
            g_source_remove(watch_);
        }
        if (channel_ != nullptr) {
            g_io_channel_unref(channel_);
        }
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            g_spawn_close_pid(pid_);
        }
    }
    CallCounter(const CallCounter&) = delete;
    CallCounter& operator=(const CallCounter&) = delete;
    int calls(const std::string& member) const {
        int count = 0;
        const std::string needle = "member=" + member;
        for (auto at = text_.find(needle); at != std::string::npos; at = text_.find(needle, at + 1)) {
            ++count;
        }
        return count;
    }

private:
    static gboolean read(GIOChannel* channel, GIOCondition, gpointer data) {
        char buffer[4096];
        gsize got = 0;
        const GIOStatus status = g_io_channel_read_chars(channel, buffer, sizeof buffer, &got, nullptr);
        if (status == G_IO_STATUS_AGAIN) {
            return G_SOURCE_CONTINUE;
        }
        if (status != G_IO_STATUS_NORMAL) {
            static_cast<CallCounter*>(data)->watch_ = 0;
            return G_SOURCE_REMOVE;
        }
        static_cast<CallCounter*>(data)->text_.append(buffer, got);
        return G_SOURCE_CONTINUE;
    }
    GPid pid_ = 0;
    GIOChannel* channel_ = nullptr;
    unsigned watch_ = 0;
    std::string text_;
};

bool invokeThroughKGlobalAccel(const std::string& shortcut) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.kde.kglobalaccel", "/component/com_zvk_ULVO",
                                                  "org.kde.kglobalaccel.Component", "invokeShortcut",
                                                  g_variant_new("(s)", shortcut.c_str()), nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    g_object_unref(bus);
    if (reply == nullptr) {
        return false;
    }
    g_variant_unref(reply);
    return true;
}

TEST(KdeGlobalShortcuts, BoundShortcutsDispatchAndAreNotBoundTwiceOrTheProgramSaysWhy) {
    const CallCounter counter;
    Outcome first;
    auto portal = startPortal(first);
    ASSERT_TRUE(pumpUntil([&] { return first.settled(); }, 20s)) << "the portal never answered";
    EXPECT_TRUE(pumpUntil([&] { return counter.calls("ListShortcuts") >= 1; }, 2s))
        << "the desktop's list was not asked first; " << first.unavailable.value_or("ready");

    if (first.unavailable) {
        // Debian 12's portal gives a program outside a sandbox no id, and KDE's backend then binds
        // nothing while answering success: the program must not count on those keys.
        EXPECT_NE(first.unavailable->find("did not bind"), std::string::npos) << *first.unavailable;
        return;
    }
    EXPECT_EQ(*first.ready, (std::vector<std::string>{"explain", "capture"}));
    ASSERT_TRUE(invokeThroughKGlobalAccel("capture"));
    ASSERT_TRUE(pumpUntil([&] { return !first.activated.empty(); }, 5s));
    EXPECT_EQ(first.activated.front(), HotKeyAction::capture);

    // A second start finds both held and binds nothing again.
    portal.reset();
    const int bindsBefore = counter.calls("BindShortcuts");
    Outcome second;
    portal = startPortal(second);
    ASSERT_TRUE(pumpUntil([&] { return second.settled(); }, 20s));
    ASSERT_TRUE(second.ready);
    EXPECT_EQ(counter.calls("BindShortcuts"), bindsBefore);
}

TEST(KdeGlobalShortcuts, WhereThePortalBindsNothingTheKeysAreKdesOwnShortcutsOfTheProgram) {
    int cards = 0;
    desktop::DesktopCard card;
    card.showCardWithSelection = [&cards](const std::string&) { ++cards; };
    card.setPendingSelection = [](const std::string&) {};
    card.setAccessibility = [](bool) {};
    card.showSettings = [] {};
    card.terminate = [] {};
    wayland::WaylandDesktop capture(card);
    capture.registerHotKey();
    const auto notes = [&] {
        std::string all;
        for (const std::string& note : capture.unavailableCapabilities()) {
            all += note + "\n";
        }
        return all;
    };
    ASSERT_TRUE(pumpUntil([&] { return !capture.hotKeyNote().empty() || !notes().empty(); }, 20s))
        << "neither the portal nor KDE's shortcut service answered";
    if (capture.hotKeyNote().empty()) {
        GTEST_SKIP() << "the portal bound the keys itself: " << notes();
    }
    EXPECT_EQ(notes(), "") << "both keys are bound";
    ASSERT_TRUE(invokeThroughKGlobalAccel("explain"));
    EXPECT_TRUE(pumpUntil([&] { return cards == 1; }, 5s)) << "Alt+E did not open the card";
}

TEST(KdeExplainTag, ShowsBesideTheSelectionWhereKWinSaysTheWindowIs) {
    std::string pending;
    desktop::DesktopCard card;
    card.showCardWithSelection = [](const std::string&) {};
    card.setPendingSelection = [&pending](const std::string& text) { pending = text; };
    card.setAccessibility = [](bool) {};
    card.showSettings = [] {};
    card.terminate = [] {};
    wayland::WaylandDesktop capture(card);
    capture.buildTagPanel();
    capture.startSelectionMonitor();

    test::Background app({"/usr/bin/python3", ULVO_TEXT_APP, "--kind", "textview", "--text",
                          "Chlorophyll absorbs red and blue light", "--select", "0", "11", "--claim-focus"});
    std::istringstream ready(app.readLine(15s));
    std::string word;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    ASSERT_TRUE(ready >> word >> x >> y >> width >> height && word == "ready")
        << "the application did not start";
    const auto notes = [&] {
        std::string all;
        for (const std::string& note : capture.unavailableCapabilities()) {
            all += note + "\n";
        }
        return all;
    };
    ASSERT_TRUE(pumpUntil([&] { return capture.tag()->isVisible(); }, 10s)) << "no tag; " << notes();
    EXPECT_EQ(pending, "Chlorophyll");

    // Accessibility measures from the window; KWin centres a new window on its virtual screen.
    const SelectionResult selection = test::selectionWithBounds(app.pid(), 5s);
    ASSERT_TRUE(selection.bounds);
    auto* tag = GTK_WINDOW(capture.tag()->window());
    ASSERT_TRUE(gtk_layer_is_layer_window(tag));
    EXPECT_NEAR(gtk_layer_get_margin(tag, GTK_LAYER_SHELL_EDGE_LEFT),
                (1920 - width) / 2 + selection.bounds->maxX() + 8, 1.0);
    EXPECT_NEAR(gtk_layer_get_margin(tag, GTK_LAYER_SHELL_EDGE_TOP),
                (1080 - height) / 2 + selection.bounds->maxY() + 14, 1.0);
    for (const std::string& note : capture.unavailableCapabilities()) {
        EXPECT_EQ(note.find("explain tag"), std::string::npos) << note;
    }
}

} // namespace
} // namespace ulvo
