// Selection capture on a real X11 desktop (scripts/private-session): AT-SPI, the CLIPBOARD with XTest,
// XInput 2 mouse watching, hot keys, the explain tag and maim, against small GTK applications.
// gtest first: Xlib's macros (None, Bool, Status) would break its declarations.
#include <gtest/gtest.h>

#include "base/Text.h"
#include "capture/ClipboardCopy.h"
#include "capture/SelectionMonitor.h"
#include "platform/linux/gtk/RegionPicker.h"
#include "platform/linux/gtk/WebEnvironment.h"
#include "platform/linux/x11/AtspiReader.h"
#include "platform/linux/x11/ExplainTag.h"
#include "platform/linux/x11/GlobalInput.h"
#include "platform/linux/x11/GtkClipboard.h"
#include "platform/linux/x11/ScreenCapture.h"
#include "platform/linux/x11/StatusItem.h"
#include "platform/linux/x11/X11Desktop.h"
#include "platform/linux/x11/XConnection.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/integration/FocusedSelection.h"
#include "tests/integration/Subprocess.h"
#include "tests/integration/TextImages.h"

#include <X11/Xatom.h>
#include <X11/keysym.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using test::pumpFor;
using test::pumpUntil;
using test::readUntil;
using test::xdotool;

// A fixture application, its window's place on the root window.
struct App {
    std::unique_ptr<test::Background> process;
    GdkRectangle area{};
};

App startApp(const std::string& kind, const std::string& text, std::optional<std::pair<int, int>> select = {},
             bool accessible = true, int x = 200, int y = 200) {
    std::vector<std::string> argv = {"/usr/bin/env"};
    if (!accessible) {
        argv.emplace_back("NO_AT_BRIDGE=1");
    }
    argv.insert(argv.end(), {"/usr/bin/python3", ULVO_TEXT_APP, "--kind", kind, "--text", text, "--x",
                             std::to_string(x), "--y", std::to_string(y)});
    if (select) {
        argv.insert(argv.end(), {"--select", std::to_string(select->first), std::to_string(select->second)});
    }
    App app{std::make_unique<test::Background>(argv)};
    EXPECT_EQ(std::sscanf(app.process->readLine(15s).c_str(), "ready %d %d %d %d", &app.area.x, &app.area.y,
                          &app.area.width, &app.area.height),
              4)
        << kind << " did not start";
    pumpFor(200ms);
    return app;
}

// A press, a move and a release, the press seen before the pointer moves on, as when a person drags.
void drag(int fromX, int fromY, int toX, int toY) {
    ASSERT_EQ(xdotool({"mousemove", std::to_string(fromX), std::to_string(fromY), "mousedown", "1"}), 0);
    pumpFor(100ms);
    ASSERT_EQ(xdotool({"mousemove", std::to_string(toX), std::to_string(toY), "mouseup", "1"}), 0);
}

// The clipboard as another process sees it: each target with its bytes in hex. The main loop keeps
// running meanwhile, since this process may be the owner that has to answer.
std::string dumpClipboard() {
    std::atomic<bool> done{false};
    std::string output;
    std::thread reader([&] {
        output = test::runToEnd(
                     {"/bin/sh", "-c",
                      "for t in $(xclip -selection clipboard -o -t TARGETS); do case $t in "
                      "TARGETS|TIMESTAMP|MULTIPLE|SAVE_TARGETS) continue;; esac; printf '%s ' $t; "
                      "xclip -selection clipboard -o -t $t | od -An -v -tx1 | tr -d ' \\n'; echo; done"})
                     .standardOutput;
        done = true;
    });
    pumpUntil([&] { return done.load(); }, 60s);
    reader.join();
    return output;
}

std::filesystem::path scratchFile(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / ("ulvo-capture-test-" + name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// Another process owns the CLIPBOARD with these TARGET=BYTES pairs ("-vanish": it exits when asked).
std::unique_ptr<test::Background>
ownClipboard(const std::vector<std::pair<std::string, std::string>>& targets) {
    std::vector<std::string> argv = {ULVO_CLIPBOARD_FIXTURE};
    for (const auto& [target, bytes] : targets) {
        argv.push_back(
            target + "=" +
            (bytes == "-vanish" ? bytes : scratchFile(std::to_string(argv.size()), bytes).string()));
    }
    auto owner = std::make_unique<test::Background>(argv);
    EXPECT_EQ(owner->readLine(10s), "owned");
    return owner;
}

// An image's bytes as a clipboard carries them: binary, with NUL and high bytes; nothing here decodes them.
const std::string pngBytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe\x01", 19);

bool captureFilesGone() {
    const std::filesystem::directory_iterator files(g_get_tmp_dir());
    return std::none_of(begin(files), end(files), [](const auto& entry) {
        return entry.path().filename().string().rfind("ulvo-ocr-", 0) == 0;
    });
}

// Whether another client (the screenshot tool) holds the keyboard and the pointer: it is ready for input.
bool inputGrabbedElsewhere() {
    x11::XConnection probe;
    Display* display = probe.display();
    const int keyboard =
        XGrabKeyboard(display, probe.root(), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    const int pointer =
        XGrabPointer(display, probe.root(), False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    XUngrabKeyboard(display, CurrentTime);
    XUngrabPointer(display, CurrentTime);
    XSync(display, False);
    return keyboard == AlreadyGrabbed && pointer == AlreadyGrabbed;
}

// Nobody holds the PRIMARY selection afterwards, as after a fresh start.
void clearPrimary() {
    x11::XConnection connection;
    XSetSelectionOwner(connection.display(), XA_PRIMARY, None, CurrentTime);
    XSync(connection.display(), False);
    pumpFor(200ms);
}

// A real xterm, focused, running a program that records every SIGINT it receives.
struct Terminal {
    std::filesystem::path log = std::filesystem::temp_directory_path() / "ulvo-capture-test-terminal.log";
    std::unique_ptr<test::Background> process;

    Terminal() {
        std::filesystem::remove(log);
        const std::string title = "ulvo-test-terminal-" + std::to_string(getpid());
        process = std::make_unique<test::Background>(std::vector<std::string>{
            "/usr/bin/xterm", "-T", title, "-geometry", "60x8+150+150", "-e", "/usr/bin/python3",
            ULVO_TERMINAL_CHILD, log.string(), scratchFile("terminal.txt", "alpha bravo\n").string()});
        EXPECT_TRUE(pumpUntil([&] { return logged("ready"); }, 15s)) << "the terminal did not start";
        EXPECT_EQ(test::run({"timeout", "10", "xdotool", "search", "--sync", "--onlyvisible", "--name", title,
                             "windowactivate", "--sync"}),
                  0)
            << "no terminal window";
        pumpFor(300ms);
    }
    bool logged(const std::string& word) const {
        std::ifstream in(log);
        return std::string(std::istreambuf_iterator<char>(in), {}).find(word) != std::string::npos;
    }
};

// ---- The accessibility reader ----------------------------------------------------------------------

TEST(SelectionReaderDesktopTest, NothingFromOpaqueTextAlthoughTheWindowsBehindHaveSelections) {
    x11::XConnection connection;
    ASSERT_TRUE(x11::accessibilityEnabled()) << "the session's accessibility bus is off";
    const App view = startApp("textview", "The quick brown fox jumps", std::pair{4, 9});
    x11::AtspiFocusedText reader([&] { return connection.activeWindowPid(); });
    ASSERT_TRUE(reader.available());
    ASSERT_EQ(readUntil(reader, [](const SelectionResult& r) { return r.text == "quick"; }).text, "quick");
    const App opaque = startApp("opaque", "opaque words", std::pair{0, 6}, false, 400, 300);
    EXPECT_EQ(readUntil(reader, [](const SelectionResult& r) { return r.text.empty(); }), SelectionResult{});
}

TEST(SelectionReaderDesktopTest, AHungApplicationDoesNotFreezeTheReader) {
    x11::XConnection connection;
    x11::AtspiFocusedText reader([&] { return connection.activeWindowPid(); });
    // An application that stops answering (its main loop blocks for 20 s) two seconds after it is ready.
    test::Background frozen({"/usr/bin/python3", ULVO_TEXT_APP, "--kind", "textview", "--text",
                             "Frozen words", "--select", "0", "6", "--hang", "2", "20"});
    ASSERT_EQ(frozen.readLine(15s).rfind("ready", 0), 0U);
    ASSERT_EQ(readUntil(reader, [](const SelectionResult& r) { return r.text == "Frozen"; }).text, "Frozen");
    ASSERT_EQ(frozen.readLine(5s), "hanging");
    const auto start = std::chrono::steady_clock::now();
    globalSelection(reader);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "a query waited for the hung application";
}

// ---- The CLIPBOARD ----------------------------------------------------------------------------------

TEST(ClipboardDesktopTest, AnOwnerThatVanishesMidSnapshotLeavesWhatArrivedAndItIsRestored) {
    const auto owner =
        ownClipboard({{"UTF8_STRING", "kept words"}, {"text/html", "-vanish"}, {"image/png", pngBytes}});
    x11::GtkClipboardPort clipboard;
    std::vector<ClipboardSnapshot> snapshots;
    clipboard.snapshot([&](ClipboardSnapshot snapshot) { snapshots.push_back(std::move(snapshot)); });
    ASSERT_TRUE(pumpUntil([&] { return !snapshots.empty(); }, 10s)) << "the snapshot never ended";
    pumpFor(300ms); // room for a wrong second completion
    ASSERT_EQ(snapshots.size(), 1U);
    ASSERT_EQ(snapshots[0].size(), 1U);
    EXPECT_EQ(snapshots[0][0].target, "UTF8_STRING");
    EXPECT_EQ(std::string(snapshots[0][0].data.begin(), snapshots[0][0].data.end()), "kept words");

    clipboard.restore(snapshots[0]);
    const std::string served = dumpClipboard();
    EXPECT_NE(served.find("UTF8_STRING 6b65707420776f726473\n"), std::string::npos) << served;
}

// ---- Monitor, tag, hot keys and the copy fallback ---------------------------------------------------

struct CaptureDesktopTest : ::testing::Test {
    std::vector<std::string> shown; // what the card was asked to show
    std::string pending;
    x11::X11Desktop capture{recordingCard()};
    CaptureDesktopTest() {
        capture.buildTagPanel();
        capture.registerHotKey();
        capture.startSelectionMonitor();
    }
    desktop::DesktopCard recordingCard() {
        desktop::DesktopCard side;
        side.showCardWithSelection = [this](const std::string& text) { shown.push_back(text); };
        side.setPendingSelection = [this](const std::string& text) { pending = text; };
        side.setAccessibility = [](bool) {};
        side.showSettings = [] {};
        side.terminate = [] {};
        return side;
    }
    bool tagVisible() { return capture.tag()->isVisible(); }
    // Alt+E; the text the card was then asked to show.
    std::string explain() {
        const std::size_t before = shown.size();
        EXPECT_EQ(xdotool({"key", "alt+e"}), 0);
        return pumpUntil([&] { return shown.size() > before; }, 3s) ? shown.back() : "(no card)";
    }
};

TEST_F(CaptureDesktopTest, TagFollowsAStableSelectionAndAMouseSelectionButNotOwnWindows) {
    App view = startApp("textview", "Stable selections show the tag", std::nullopt);
    ASSERT_EQ(xdotool({"key", "ctrl+a"}), 0);
    ASSERT_TRUE(pumpUntil([&] { return tagVisible(); }, 2s));
    EXPECT_EQ(pending, "Stable selections show the tag");

    GdkRectangle tag{};
    gtk_window_get_position(GTK_WINDOW(capture.tag()->window()), &tag.x, &tag.y);
    gtk_window_get_size(GTK_WINDOW(capture.tag()->window()), &tag.width, &tag.height);

    // Clicking the tag opens the card with its text and hides it.
    ASSERT_EQ(xdotool({"mousemove", std::to_string(tag.x + tag.width / 2),
                       std::to_string(tag.y + tag.height / 2), "click", "1"}),
              0);
    ASSERT_TRUE(pumpUntil([&] { return !shown.empty(); }, 3s));
    EXPECT_EQ(shown.back(), "") << "the tag's text is already the pending selection";
    EXPECT_FALSE(tagVisible());
    view.process.reset();

    // A mouse selection in an application without accessible text: the tag at once, with the text the
    // drag made the PRIMARY selection.
    App quiet = startApp("textview", "dragged over words", std::nullopt, false, 300, 300);
    const int x = quiet.area.x;
    const int y = quiet.area.y + 12;
    drag(x + 1, y, x + 400, y);
    ASSERT_TRUE(pumpUntil([&] { return tagVisible(); }, 2s));
    EXPECT_EQ(pending, "dragged over words");
    // A plain click elsewhere takes it away.
    ASSERT_EQ(xdotool({"mousemove", std::to_string(x + 500), std::to_string(y + 100), "click", "1"}), 0);
    ASSERT_TRUE(pumpUntil([&] { return !tagVisible(); }, 2s));
    quiet.process.reset();

    // This program's own window with a selection: no tag.
    GtkWidget* own = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), "own window text");
    gtk_container_add(GTK_CONTAINER(own), entry);
    gtk_widget_show_all(own);
    gtk_window_present(GTK_WINDOW(own));
    ASSERT_TRUE(pumpUntil([&] { return gtk_window_is_active(GTK_WINDOW(own)) != FALSE; }, 5s));
    gtk_editable_select_region(GTK_EDITABLE(entry), 0, -1);
    pumpFor(1500ms); // proves an absence: well past a stable selection's wait
    EXPECT_FALSE(tagVisible());
    gtk_widget_destroy(own);
}

TEST_F(CaptureDesktopTest, HotKeysExplainAndCaptureWithNumLockOnAndAreExclusive) {
    {
        App view = startApp("textview", "Hot keys read this", std::pair{9, 13});
        EXPECT_EQ(explain(), "read");
        ASSERT_EQ(xdotool({"key", "Num_Lock"}), 0);
        const std::string withNumLock = explain();
        ASSERT_EQ(xdotool({"key", "Num_Lock"}), 0);
        EXPECT_EQ(withNumLock, "read");
    }
    // Another program holding Alt+E already: registration says so instead of failing silently.
    x11::XConnection other;
    x11::HotKeyGrabber grabber(other, [](std::uint32_t) {});
    const Result<void> taken = grabber.registerHotKey({1, XK_e, grabber.masks().alt});
    EXPECT_FALSE(taken);

    // Alt+Shift+E starts the capture; the text framed with the mouse reaches the card.
    App label = startApp("label", "Plainly readable words", std::nullopt, true, 100, 100);
    ASSERT_EQ(xdotool({"key", "alt+shift+e"}), 0);
    ASSERT_TRUE(pumpUntil(inputGrabbedElsewhere, 10s)) << "the capture tool did not take the input";
    const int left = label.area.x + 10;
    const int top = label.area.y + 10;
    ASSERT_EQ(xdotool({"mousemove", std::to_string(left), std::to_string(top), "mousedown", "1"}), 0);
    for (int step = 1; step <= 5; ++step) {
        ASSERT_EQ(xdotool({"mousemove", std::to_string(left + step * (label.area.width - 20) / 5),
                           std::to_string(top + step * (label.area.height - 20) / 5)}),
                  0);
    }
    ASSERT_EQ(xdotool({"mouseup", "1"}), 0);
    ASSERT_TRUE(pumpUntil([&] { return shown.size() > 2; }, 20s)) << "no card";
    EXPECT_EQ(shown.back(), "Plainly readable words");
    EXPECT_TRUE(pumpUntil(captureFilesGone, 5s)) << "the capture file was left behind";
}

TEST(RegionPickerDesktopTest, ADragOverTheDesktopsWholeScreenShotCropsItAndEscapeWritesNothing) {
    // The desktop's whole-screen shot, as a portal hands it over: the screen's size, text in one place.
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "ulvo-picker-test";
    std::filesystem::create_directories(dir);
    const std::filesystem::path shot = dir / "shot.png";
    const std::filesystem::path region = dir / "region.png";
    test::Page page{1920, 1080, {1, 1, 1}, {}};
    page.blocks.push_back({"Lichens pair fungi with algae", "DejaVu Sans 32px", 700, 500, 900, {}});
    page.blocks.push_back({"Unframed distraction", "DejaVu Sans 32px", 100, 100, 600, {}});

    x11::LinuxRegionCaptureHost host([](const std::string&) {}, "en");
    const auto pickOver = [&](const std::function<void()>& act) {
        test::renderPng(page, shot);
        bool ended = false;
        host.pickFrom(shot, region, [&] { ended = true; });
        EXPECT_FALSE(std::filesystem::exists(shot)) << "the screen's picture outlived the picker";
        EXPECT_TRUE(pumpUntil(
            [&] { return host.picker() != nullptr && gtk_widget_get_mapped(host.picker()->window()); }, 10s));
        pumpFor(300ms);
        act();
        EXPECT_TRUE(pumpUntil([&] { return ended; }, 10s)) << "the picker never ended";
        EXPECT_TRUE(pumpUntil([&] { return host.picker() == nullptr; }, 5s));
    };

    pickOver([] { ASSERT_EQ(xdotool({"key", "Escape"}), 0); });
    EXPECT_FALSE(std::filesystem::exists(region)) << "a cancel wrote a region";

    pickOver([] {
        ASSERT_EQ(xdotool({"mousemove", "680", "480", "mousedown", "1"}), 0);
        ASSERT_EQ(xdotool({"mousemove", "1200", "520"}), 0);
        ASSERT_EQ(xdotool({"mousemove", "1640", "560", "mouseup", "1"}), 0);
    });
    ASSERT_TRUE(std::filesystem::exists(region));
    std::string text;
    host.recognizeText(region, [&](std::string recognised) { text = std::move(recognised); });
    ASSERT_TRUE(pumpUntil([&] { return !text.empty(); }, 30s));
    EXPECT_EQ(trimmedWhitespaceAndNewlines(text), "Lichens pair fungi with algae");
    std::filesystem::remove_all(dir);
}

// ---- The PRIMARY selection and terminals ----------------------------------------------------------

TEST_F(CaptureDesktopTest, ExplainWithNothingSelectedSendsATerminalNoInterruptAndLeavesTheClipboard) {
    const auto owner = ownClipboard({{"UTF8_STRING", "the user's clipboard text"}, {"image/png", pngBytes}});
    const std::string before = dumpClipboard();
    Terminal terminal;
    clearPrimary();
    EXPECT_EQ(explain(), "") << "the card keeps its text";
    // A quit typed now reaches the terminal after any Control+C the program sent it.
    ASSERT_EQ(xdotool({"key", "ctrl+backslash"}), 0);
    ASSERT_TRUE(pumpUntil([&] { return terminal.logged("SIGQUIT"); }, 3s));
    EXPECT_FALSE(terminal.logged("SIGINT")) << "the terminal was sent Control+C";
    EXPECT_EQ(dumpClipboard(), before) << "the clipboard changed";
    // The recorder does see a real Control+C, so the count above means something.
    ASSERT_EQ(xdotool({"key", "ctrl+c"}), 0);
    EXPECT_TRUE(pumpUntil([&] { return terminal.logged("SIGINT"); }, 3s));
}

TEST_F(CaptureDesktopTest, TheCopyFallbackCopiesWithAltHeldAndRestoresEveryTargetByteForByte) {
    const auto owner = ownClipboard({{"UTF8_STRING", "kept clipboard text"},
                                     {"text/plain;charset=utf-8", "kept clipboard text"},
                                     {"text/html", "<p>kept <b>html</b></p>"},
                                     {"image/png", pngBytes}});
    const std::string before = dumpClipboard();
    clearPrimary();
    // Neither accessibility nor the PRIMARY selection has the text: Alt+E copies it, Alt still held.
    App app = startApp("opaque", "  selected words\n and more", std::pair{0, 17}, false);
    ASSERT_EQ(xdotool({"keydown", "alt", "key", "e"}), 0);
    ASSERT_TRUE(pumpUntil([&] { return !shown.empty(); }, 3s)) << "no card";
    ASSERT_EQ(xdotool({"keyup", "alt"}), 0);
    EXPECT_EQ(shown.back(), "selected words");
    EXPECT_EQ(app.process->readLine(2s), "copied selected words");
    EXPECT_EQ(dumpClipboard(), before);
}

// ---- The status item -----------------------------------------------------------

TEST(XConnectionDesktopTest, EventsQueuedDuringARoundTripArriveAndEndedSubscriptionsHearNothing) {
    x11::XConnection connection;
    Display* display = connection.display();
    ASSERT_NE(display, nullptr);
    XSelectInput(display, connection.root(), PropertyChangeMask);
    XSync(display, False);
    int heard = 0;
    int ended = 0;
    x11::XConnection::Subscription live =
        connection.addHandler([&](XEvent& event) { heard += event.type == PropertyNotify ? 1 : 0; });
    connection.addHandler([&](XEvent&) { ++ended; }).reset();

    // Another client changes a property; a round trip here reads the notification into Xlib's queue,
    // leaving the socket empty.
    x11::XConnection other;
    const Atom name = XInternAtom(other.display(), "ULVO_TEST_PROPERTY", False);
    const unsigned char value = 1;
    XChangeProperty(other.display(), other.root(), name, XA_CARDINAL, 8, PropModeReplace, &value, 1);
    XSync(other.display(), False);
    XSync(display, False);
    EXPECT_TRUE(pumpUntil([&] { return heard > 0; }, 2s)) << "a queued event waited for more bytes";
    EXPECT_EQ(ended, 0) << "a handler ran after its subscription ended";
    XDeleteProperty(other.display(), other.root(), name);
    XSync(other.display(), False);
}

TEST(StatusItemDesktopTest, TheLoginStartEntryFollowsItsStateAndShowingItSwitchesNothing) {
    bool loginStart = false;
    x11::StatusItem::Actions actions;
    actions.startAtLogin = [&] { return loginStart; };
    actions.setStartAtLogin = [&](bool on) { loginStart = on; };
    x11::StatusItem item(actions, std::nullopt);
    // The login start's entry shows the state and switches it; a change made elsewhere shows too.
    GList* children = gtk_container_get_children(GTK_CONTAINER(item.menu()));
    auto* login = GTK_CHECK_MENU_ITEM(g_list_nth_data(children, 7));
    g_list_free(children);
    EXPECT_FALSE(gtk_check_menu_item_get_active(login));
    gtk_menu_item_activate(GTK_MENU_ITEM(login));
    EXPECT_TRUE(loginStart);
    EXPECT_TRUE(gtk_check_menu_item_get_active(login));
    loginStart = false;
    item.refreshStartAtLogin();
    EXPECT_FALSE(gtk_check_menu_item_get_active(login));
    EXPECT_FALSE(loginStart) << "showing the state switched it";
}

} // namespace
} // namespace ulvo

int main(int argc, char** argv) {
    // Capture files go to a temporary directory of this run alone.
    char scratch[] = "/tmp/ulvo-capture-test-XXXXXX";
    if (mkdtemp(scratch) != nullptr) {
        setenv("TMPDIR", scratch, 1);
    }
    ulvo::gtk::chooseWebProcessEnvironment(ulvo::currentSession());
    gtk_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return status;
}
