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

#include <cstdio>
#include <optional>

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

// The portal's method calls on the session bus, as dbus-monitor prints them.
struct PortalCalls {
    test::Background monitor{{"/usr/bin/dbus-monitor", "--session",
                              "type='method_call',interface='org.freedesktop.portal.GlobalShortcuts'"}};
    std::string seen;
    PortalCalls() {
        // Listening once it has printed its own name's signals.
        pumpUntil([this] { return count("NameAcquired") > 0; }, 5s);
    }
    int count(const std::string& member) {
        for (std::string line = monitor.readLine(10ms); !line.empty(); line = monitor.readLine(10ms)) {
            seen += line + "\n";
        }
        const std::string needle = "member=" + member;
        int found = 0;
        for (auto at = seen.find(needle); at != std::string::npos; at = seen.find(needle, at + 1)) {
            ++found;
        }
        return found;
    }
};

bool invokeThroughKGlobalAccel(const std::string& shortcut) {
    return test::run({"gdbus", "call", "--session", "--dest", "org.kde.kglobalaccel", "--object-path",
                      "/component/com_zvk_ULVO", "--method", "org.kde.kglobalaccel.Component.invokeShortcut",
                      shortcut}) == 0;
}

// A Wayland desktop whose card records what it was asked.
struct RecordedDesktop {
    int cards = 0;
    std::string pending;
    wayland::WaylandDesktop capture{card()};
    desktop::DesktopCard card() {
        desktop::DesktopCard side;
        side.showCardWithSelection = [this](const std::string&) { ++cards; };
        side.setPendingSelection = [this](const std::string& text) { pending = text; };
        side.setAccessibility = [](bool) {};
        side.showSettings = [] {};
        side.terminate = [] {};
        return side;
    }
    std::string notes() const {
        std::string all;
        for (const std::string& note : capture.unavailableCapabilities()) {
            all += note + "\n";
        }
        return all;
    }
};

TEST(KdeGlobalShortcuts, BoundShortcutsDispatchAndAreNotBoundTwiceOrTheProgramSaysWhy) {
    PortalCalls calls;
    Outcome first;
    auto portal = startPortal(first);
    ASSERT_TRUE(pumpUntil([&] { return first.settled(); }, 20s)) << "the portal never answered";
    EXPECT_TRUE(pumpUntil([&] { return calls.count("ListShortcuts") >= 1; }, 2s))
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
    const int bindsBefore = calls.count("BindShortcuts");
    Outcome second;
    portal = startPortal(second);
    ASSERT_TRUE(pumpUntil([&] { return second.settled(); }, 20s));
    ASSERT_TRUE(second.ready);
    EXPECT_EQ(calls.count("BindShortcuts"), bindsBefore);
}

TEST(KdeGlobalShortcuts, WhereThePortalBindsNothingTheKeysAreKdesOwnShortcutsOfTheProgram) {
    RecordedDesktop desktop;
    desktop.capture.registerHotKey();
    ASSERT_TRUE(
        pumpUntil([&] { return !desktop.capture.hotKeyNote().empty() || !desktop.notes().empty(); }, 20s))
        << "neither the portal nor KDE's shortcut service answered";
    if (desktop.capture.hotKeyNote().empty()) {
        GTEST_SKIP() << "the portal bound the keys itself: " << desktop.notes();
    }
    EXPECT_EQ(desktop.notes(), "") << "both keys are bound";
    ASSERT_TRUE(invokeThroughKGlobalAccel("explain"));
    EXPECT_TRUE(pumpUntil([&] { return desktop.cards == 1; }, 5s)) << "Alt+E did not open the card";
}

TEST(KdeExplainTag, ShowsBesideTheSelectionWhereKWinSaysTheWindowIs) {
    RecordedDesktop desktop;
    desktop.capture.buildTagPanel();
    desktop.capture.startSelectionMonitor();
    test::Background app({"/usr/bin/python3", ULVO_TEXT_APP, "--kind", "textview", "--text",
                          "Chlorophyll absorbs red and blue light", "--select", "0", "11", "--claim-focus"});
    int width = 0;
    int height = 0;
    ASSERT_EQ(std::sscanf(app.readLine(15s).c_str(), "ready %*d %*d %d %d", &width, &height), 2)
        << "the application did not start";
    ASSERT_TRUE(pumpUntil([&] { return desktop.capture.tag()->isVisible(); }, 10s))
        << "no tag; " << desktop.notes();
    EXPECT_EQ(desktop.pending, "Chlorophyll");
    EXPECT_EQ(desktop.notes().find("explain tag"), std::string::npos) << desktop.notes();

    // Accessibility measures from the window; KWin centres a new window on its virtual screen.
    const SelectionResult selection = test::selectionWithBounds(app.pid(), 5s);
    ASSERT_TRUE(selection.bounds);
    auto* tag = GTK_WINDOW(desktop.capture.tag()->window());
    ASSERT_TRUE(gtk_layer_is_layer_window(tag));
    EXPECT_NEAR(gtk_layer_get_margin(tag, GTK_LAYER_SHELL_EDGE_LEFT),
                (1920 - width) / 2.0 + selection.bounds->maxX() + 8, 1.0);
    EXPECT_NEAR(gtk_layer_get_margin(tag, GTK_LAYER_SHELL_EDGE_TOP),
                (1080 - height) / 2.0 + selection.bounds->maxY() + 14, 1.0);
}

} // namespace
} // namespace ulvo
