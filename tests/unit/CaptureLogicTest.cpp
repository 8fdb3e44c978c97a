// Selection capture's decisions, driven through in-memory desktops.
#include "capture/ClipboardCopy.h"
#include "capture/HotKeys.h"
#include "capture/RegionCapture.h"
#include "capture/SelectionMonitor.h"
#include "capture/SelectionReader.h"
#include "capture/Terminals.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace ulvo {
namespace {

using namespace std::chrono_literals;

// ---- Clipboard copy -------------------------------------------------------------------------------

struct FakeClipboard final : ClipboardPort, CopyKeystroke {
    ClipboardSnapshot contents;
    std::uint64_t changes = 0;
    int keystrokes = 0;
    bool terminal = false; // the keystroke would reach a terminal
    // What the focused application puts on the clipboard when it receives Control+C.
    std::optional<ClipboardSnapshot> copyResult;
    std::deque<std::function<void()>> loop; // the main loop's queued work

    void snapshot(std::function<void(ClipboardSnapshot)> completion) override {
        loop.push_back([this, completion] { completion(contents); });
    }
    std::uint64_t changeCount() override { return changes; }
    void readText(std::function<void(std::optional<std::string>)> completion) override {
        std::optional<std::string> text;
        for (const ClipboardEntry& entry : contents) {
            if (entry.target == "UTF8_STRING") {
                text = std::string(entry.data.begin(), entry.data.end());
            }
        }
        loop.push_back([completion, text] { completion(text); });
    }
    void restore(ClipboardSnapshot snapshot) override { contents = std::move(snapshot); }
    bool targetIsTerminal() override { return terminal; }
    bool sendCopy() override {
        ++keystrokes;
        if (copyResult) {
            contents = *copyResult;
            ++changes;
        }
        return true;
    }
    DelayedCall later() {
        return [this](std::chrono::milliseconds, std::function<void()> task) {
            loop.push_back(std::move(task));
        };
    }
    void run() {
        while (!loop.empty()) {
            auto task = std::move(loop.front());
            loop.pop_front();
            task();
        }
    }
};

ClipboardEntry entry(std::string target, std::string data) {
    return {target, target, 8, std::vector<unsigned char>(data.begin(), data.end())};
}

ClipboardSnapshot richClipboard() {
    return {entry("UTF8_STRING", "earlier"),
            entry("text/html", "<b>earlier</b>"),
            {"image/png", "image/png", 8, {0x89, 'P', 'N', 'G', 0, 1, 2, 255}}};
}

TEST(ClipboardCopyTest, OneKeystrokeServesOverlappingCallsNoneGoesToATerminalAndTheClipboardIsKept) {
    FakeClipboard clipboard;
    clipboard.contents = richClipboard();
    ClipboardCopier copier(clipboard, clipboard, clipboard.later());
    std::vector<std::string> results;
    // Nothing copied: nothing to read, the clipboard as it was.
    copier.copySelectionViaClipboard([&](std::string text) { results.push_back(text); });
    clipboard.run();
    EXPECT_EQ(results, std::vector<std::string>{""});

    clipboard.copyResult = ClipboardSnapshot{entry("UTF8_STRING", "  selected\n")};
    results.clear();
    copier.copySelectionViaClipboard([&](std::string text) { results.push_back("first:" + text); });
    // The second call arrives while the first is under way.
    copier.copySelectionViaClipboard([&](std::string text) { results.push_back("second:" + text); });
    clipboard.run();
    EXPECT_EQ(results, (std::vector<std::string>{"first:selected", "second:selected"}));
    EXPECT_EQ(clipboard.keystrokes, 2) << "one for the first call, one for the two overlapping";
    EXPECT_EQ(clipboard.contents, richClipboard());

    // A completion may start the next copy at once; it is a fresh one.
    results.clear();
    copier.copySelectionViaClipboard([&](std::string text) {
        results.push_back(text);
        copier.copySelectionViaClipboard([&](std::string again) { results.push_back("again:" + again); });
    });
    clipboard.run();
    EXPECT_EQ(results, (std::vector<std::string>{"selected", "again:selected"}));

    // The focus moves to a terminal while the snapshot is read: no keystroke, the clipboard untouched.
    results.clear();
    copier.copySelectionViaClipboard([&](std::string text) { results.push_back(text); });
    clipboard.terminal = true;
    clipboard.run();
    EXPECT_EQ(results, std::vector<std::string>{""});
    EXPECT_EQ(clipboard.keystrokes, 4) << "none for the terminal";
    EXPECT_EQ(clipboard.contents, richClipboard());
    EXPECT_FALSE(copier.pending());
}

TEST(TerminalsTest, EmulatorsByEitherWindowClassNameWholeOrDashedAndNothingElse) {
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"st-256color", "", true},
        {"", "org.gnome.Terminal", true},
        {"Navigator", "firefox-esr", false},
        {"kittyhawk", "Kittyhawk", false}};
    for (const auto& [instance, windowClass, terminal] : cases) {
        EXPECT_EQ(isTerminalWindowClass(instance, windowClass), terminal) << instance << " / " << windowClass;
    }
}

// ---- Selection reader -----------------------------------------------------------------------------

// A hypertext element: U+FFFC in its text stands for the child registered at that offset.
struct FakeElement final : FocusedText {
    std::string characters; // one byte per character but U+FFFC, written "#" here
    std::optional<TextRange> selection;
    bool block = false;
    std::map<int, FakeElement> children;

    std::optional<TextRange> selectedRange() override { return selection; }
    std::optional<std::string> text(TextRange range) override {
        std::string out;
        for (int i = range.start; i < range.end && i < static_cast<int>(characters.size()); ++i) {
            out += characters[static_cast<std::size_t>(i)] == '#'
                       ? std::string("\uFFFC")
                       : std::string(1, characters[static_cast<std::size_t>(i)]);
        }
        return out;
    }
    std::optional<Rect> rangeExtents(TextRange range) override {
        return Rect{static_cast<double>(range.start * 10), static_cast<double>(characters.size()),
                    10.0 * (range.end - range.start), 12};
    }
    std::optional<int> characterCount() override { return static_cast<int>(characters.size()); }
    std::unique_ptr<AccessibleText> embeddedAt(int offset) override {
        const auto child = children.find(offset);
        return child == children.end() ? nullptr : std::make_unique<FakeElement>(child->second);
    }
    bool isBlock() override { return block; }
    bool focus() override { return true; }
};

FakeElement element(std::string characters, std::optional<TextRange> selection, bool block = false,
                    std::map<int, FakeElement> children = {}) {
    FakeElement made;
    made.characters = std::move(characters);
    made.selection = selection;
    made.block = block;
    made.children = std::move(children);
    return made;
}

TEST(SelectionReaderTest, HypertextSelectionsAreReadFromTheirEmbeddedElementsInOrder) {
    // A web page: the document holds one placeholder per paragraph; a paragraph one per link or bold run.
    const FakeElement first =
        element("Plants use # light", TextRange{6, 18}, true, {{11, element("sun", std::nullopt)}});
    const FakeElement second = element("Second paragraph", TextRange{0, 6}, true);
    FakeElement page = element("##", TextRange{0, 2}, false, {{0, first}, {1, second}});
    const SelectionResult read = globalSelection(page);
    EXPECT_EQ(read.text, "use sun light\nSecond");
    EXPECT_TRUE(read.bounds);
    // A placeholder nothing answers for reads as nothing, not as the placeholder itself.
    FakeElement orphan = element("#", TextRange{0, 1});
    EXPECT_EQ(globalSelection(orphan), SelectionResult{});
}

// ---- Selection monitor ----------------------------------------------------------------------------

// The desktop's current selection; reads are answered at once unless held.
struct FakePrimary final : PrimarySelection {
    std::optional<std::uint32_t> owned; // the server time of the last owner change
    bool own = false;
    std::optional<std::string> text;
    int reads = 0;
    bool hold = false;
    std::vector<std::function<void(std::optional<std::string>)>> held;

    std::optional<std::uint32_t> ownerTime() override { return owned; }
    bool ownedBySelf() override { return own; }
    void readText(std::function<void(std::optional<std::string>)> completion) override {
        ++reads;
        if (hold) {
            held.push_back(std::move(completion));
        } else {
            completion(text);
        }
    }
};

struct FakeDesktop final : MonitorHost {
    bool trusted = true;
    bool ownFrontmost = false;
    bool primaryHeld = false; // by the program the user is in
    unsigned long active = 7;
    SelectionResult selection;
    FakePrimary primary;
    std::optional<Point> pointerAt = Point{500, 500};
    std::vector<bool> trustReports;
    std::string pending;
    std::optional<Point> tagAt; // shown at, or hidden
    std::vector<std::function<void(std::string)>> copies;
    std::vector<std::function<void()>> timers;

    bool accessibilityTrusted() override { return trusted; }
    void setAccessibility(bool value) override { trustReports.push_back(value); }
    bool frontmostIsSelf() override { return ownFrontmost; }
    unsigned long activeWindow() override { return active; }
    SelectionResult globalSelection() override { return selection; }
    PrimarySelection& primarySelection() override { return primary; }
    bool primaryHeldByActiveProgram() override { return primaryHeld; }
    void copySelectionViaClipboard(std::function<void(std::string)> completion) override {
        copies.push_back(std::move(completion));
    }
    void runAfter(std::chrono::milliseconds, std::function<void()> task) override {
        timers.push_back(std::move(task));
    }
    std::optional<Point> pointer() override { return pointerAt; }
    std::optional<Rect> mainScreenFrame() override { return Rect{0, 0, 1920, 1080}; }
    void setPendingSelection(const std::string& text) override { pending = text; }
    void showTag(Point origin) override { tagAt = origin; }
    void hideTag() override { tagAt.reset(); }
    void fireTimers() {
        for (const auto& task : std::exchange(timers, {})) {
            task();
        }
    }
    std::uint32_t serverTime = 0xfffffff0U; // wraps during the tests
    // The user selects new text in another program; the announcement arrives at once.
    void select(const std::string& text) {
        primary.text = text;
        primary.owned = serverTime += 10;
    }
};

struct MonitorTest : ::testing::Test {
    FakeDesktop desktop;
    SelectionMonitor monitor{desktop};
    SelectionMonitor::Clock::time_point now = SelectionMonitor::Clock::time_point{} + 1000s;
    void poll(int count = 1) {
        for (int i = 0; i < count; ++i) {
            now += 200ms;
            monitor.pollExternalSelection(now);
        }
    }
    void press(Point at, int clickCount = 1) {
        monitor.mouseDown({at, clickCount, desktop.serverTime += 10});
    }
    // A drag from one point to another that selects a text (or nothing, for "").
    void drag(Point from, Point to, const std::string& selected) {
        press(from);
        desktop.pointerAt = to;
        if (!selected.empty()) {
            desktop.select(selected);
        }
        monitor.handleGlobalMouseUp(1);
    }
};

TEST_F(MonitorTest, AStableSelectionGetsOneTagWhereThereIsAPlaceForIt) {
    // Where the pointer is unknown only a rectangle places the tag; nothing stands behind one not shown.
    desktop.pointerAt.reset();
    desktop.selection.text = "first";
    poll(6);
    EXPECT_FALSE(desktop.tagAt);
    EXPECT_EQ(desktop.pending, "");
    // The same selection gets a rectangle (its window became known): beside its bottom right.
    desktop.selection.bounds = Rect{100, 200, 50, 20};
    poll();
    EXPECT_EQ(desktop.tagAt, (Point{158, 1080 - 220 - 46}));
    EXPECT_EQ(desktop.pending, "first");
    // Cleared and selected again: only once it has stood still, beside the pointer.
    desktop.selection = {};
    poll();
    desktop.pointerAt = Point{500, 500};
    desktop.selection.text = "first";
    poll(3);
    EXPECT_FALSE(desktop.tagAt) << "a selection still changing";
    poll();
    EXPECT_EQ(desktop.tagAt, (Point{512, 450}));
}

TEST_F(MonitorTest, NoTagWithoutTrustOrOverOwnWindowsAndTrustIsReportedOnChange) {
    desktop.trusted = false;
    desktop.selection.text = "x";
    poll(5);
    desktop.trusted = true;
    desktop.ownFrontmost = true;
    poll(5);
    EXPECT_EQ(desktop.trustReports, (std::vector<bool>{false, true}));
    EXPECT_FALSE(desktop.tagAt);
    drag({0, 0}, {300, 0}, "in the card");
    EXPECT_EQ(desktop.primary.reads, 0);
}

TEST_F(MonitorTest, MouseUpReadsOnlyAFreshSelectionAfterADragOrMultipleClickAndOneAtATime) {
    desktop.select("old selection");
    drag({100, 100}, {102, 100}, "");
    EXPECT_EQ(desktop.primary.reads, 0) << "a plain click selects nothing";
    // A drag that selected nothing: the old selection is not read, and a change after the wait is not
    // taken for this drag.
    drag({100, 100}, {300, 100}, "");
    desktop.fireTimers();
    desktop.select("someone else's later selection");
    monitor.primarySelectionChanged();
    EXPECT_EQ(desktop.primary.reads, 0);

    // A terminal takes the selection at the release: a change while waiting is read. So is one that
    // was made after the press but announced only after the release.
    drag({100, 100}, {300, 100}, "");
    monitor.primarySelectionChanged();
    EXPECT_EQ(desktop.primary.reads, 0) << "an announcement of an older owner";
    desktop.select("  terminal words\n");
    monitor.primarySelectionChanged();
    EXPECT_EQ(desktop.pending, "terminal words");

    // A double click without movement: its word was selected by the second press, after the first.
    // A second mouse-up while the read is pending is ignored.
    desktop.pointerAt = {200, 200};
    press({200, 200});
    monitor.handleGlobalMouseUp(1);
    press({200, 200}, 2);
    desktop.select("word");
    desktop.primary.hold = true;
    monitor.handleGlobalMouseUp(2);
    monitor.handleGlobalMouseUp(3);
    EXPECT_EQ(desktop.primary.reads, 2);
    desktop.primary.held.back()(std::string("word"));
    EXPECT_EQ(desktop.pending, "word");
    EXPECT_TRUE(desktop.copies.empty()) << "the tag never copies";
}

TEST_F(MonitorTest, AMouseSelectionTagSitsClearOfItsLineAndGoesWithItsSelectionWindowOrTheNextPress) {
    // Without usable bounds: beside the anchor and below its line, so the tag never covers the text.
    const auto clearOfLine = [&](Point anchor) {
        ASSERT_TRUE(desktop.tagAt);
        EXPECT_GT(desktop.tagAt->x, anchor.x);
        EXPECT_LE(desktop.tagAt->y + tagHeight, anchor.y - 16);
    };
    // Right to left on one line: the press point.
    desktop.selection = {"", Rect{0, 0, 1, 1}};
    drag({300, 400}, {200, 403}, "selected");
    clearOfLine({300, 400});
    // The poll leaves it alone while its window has the focus; another window taking it hides the tag.
    desktop.selection = {};
    poll(3);
    EXPECT_TRUE(desktop.tagAt);
    desktop.active = 8;
    poll();
    EXPECT_FALSE(desktop.tagAt);
    // A drag ending lower on the screen: the release point. The next press anywhere removes it.
    drag({400, 900}, {50, 900 - 300}, "more");
    clearOfLine({50, 600});
    press({10, 10});
    EXPECT_FALSE(desktop.tagAt);
    // With real bounds: beside the selection, and gone when the selection is (its owner ends).
    desktop.selection = {"", Rect{100, 200, 50, 20}};
    drag({0, 0}, {90, 0}, "again");
    EXPECT_EQ(desktop.tagAt, (Point{158, 814}));
    desktop.primary.owned.reset();
    monitor.primarySelectionChanged();
    EXPECT_FALSE(desktop.tagAt);
}

TEST_F(MonitorTest, ExplainReadsAccessibilityThenTheDesktopSelectionThenCopies) {
    std::vector<std::string> shown;
    const auto show = [&](const std::string& text) { shown.push_back(text); };
    desktop.selection.text = "visible";
    desktop.select("primary words");
    monitor.captureSelectionAndShow(show);
    // Where the program the user is in holds the desktop's selection and accessibility shows a part of
    // it, the held one is the whole (a document shows one paragraph of a selection across several).
    desktop.primaryHeld = true;
    desktop.selection.text = "second paragraph";
    desktop.select("first paragraph\n\nsecond  paragraph");
    monitor.captureSelectionAndShow(show);
    // Held text that does not hold accessibility's is stale (selected all by key): accessibility wins.
    desktop.selection.text = "visible";
    desktop.select("primary words");
    monitor.captureSelectionAndShow(show);
    desktop.primaryHeld = false;
    desktop.selection.text.clear();
    monitor.captureSelectionAndShow(show);

    // Held by this program, or empty: the copy is the last resort.
    desktop.primary.own = true;
    monitor.captureSelectionAndShow(show);
    desktop.primary.own = false;
    desktop.primary.text = " \n";
    monitor.captureSelectionAndShow(show);
    ASSERT_EQ(desktop.copies.size(), 2U);
    desktop.copies[0]("copied");
    desktop.copies[1]("");
    EXPECT_EQ(shown, (std::vector<std::string>{"visible", "first paragraph\n\nsecond  paragraph", "visible",
                                               "primary words", "copied", ""}))
        << "the card still shows, keeping its text";
}

TEST(ClickCounterTest, CountsWithinTimeAndDistanceAcrossTheClockWrap) {
    ClickCounter clicks({400, 5});
    EXPECT_EQ(clicks.press(1000, {10, 10}), 1);
    EXPECT_EQ(clicks.press(1300, {13, 12}), 2);
    EXPECT_EQ(clicks.press(1800, {13, 12}), 1) << "too late";
    EXPECT_EQ(clicks.press(1900, {30, 12}), 1) << "too far";
    EXPECT_EQ(clicks.press(0xFFFFFF00U, {0, 0}), 1);
    EXPECT_EQ(clicks.press(0x40U, {0, 0}), 2) << "the server clock wrapped";
}

// ---- Hot keys --------------------------------------------------------------------------------------

TEST(HotKeysTest, OurKeysMatchWhateverTheLocksAndTheDesktopsServiceBindsOnlyWhatItLacks) {
    ModifierMasks masks;
    masks.numLock = 1U << 4;
    const std::vector<HotKeyBinding> bindings = {{explainHotKeyId, 26, masks.alt}};
    const unsigned button1 = 1U << 8;
    EXPECT_EQ(matchHotKey(bindings, {26, masks.alt | masks.numLock | masks.capsLock | button1}, masks),
              explainHotKeyId);
    EXPECT_EQ(matchHotKey(bindings, {26, masks.alt | (1U << 2)}, masks), std::nullopt)
        << "Control+Alt+E is not ours";

    const std::vector<DesktopShortcut> missing = shortcutsToBind({"capture", "someone-else"});
    ASSERT_EQ(missing.size(), 1U);
    EXPECT_EQ(missing[0].id, "explain");
    EXPECT_TRUE(shortcutsToBind({"explain", "capture"}).empty()) << "binding again makes desktops ask again";
    EXPECT_EQ(desktopShortcutAction("capture"), HotKeyAction::capture);
    EXPECT_EQ(desktopShortcutAction("Explain"), std::nullopt);
}

// ---- Region capture --------------------------------------------------------------------------------

struct FakeCapture final : RegionCaptureHost {
    std::optional<std::string> launchFailure;
    std::vector<std::string> launched;
    std::function<void()> exit;
    std::set<std::filesystem::path> files;
    std::function<void(std::string)> recognition;
    std::vector<std::string> alerts;
    std::vector<std::string> cards;

    std::filesystem::path temporaryDirectory() override { return "/tmp/x"; }
    std::string newUUID() override { return "0a1b2c3d-0000-4000-8000-00000000abcd"; }
    std::optional<std::string> launchScreenshotTool(const std::vector<std::string>& argv,
                                                    std::function<void()> onExit) override {
        if (launchFailure) {
            return launchFailure;
        }
        launched = argv;
        exit = std::move(onExit);
        return std::nullopt;
    }
    bool fileExists(const std::filesystem::path& file) override { return files.count(file) != 0; }
    void removeFile(const std::filesystem::path& file) override { files.erase(file); }
    void recognizeText(const std::filesystem::path&, std::function<void(std::string)> completion) override {
        recognition = std::move(completion);
    }
    void showScreenCaptureAlert(const std::string& message) override { alerts.push_back(message); }
    void showCardWithSelection(const std::string& text) override { cards.push_back(text); }
};

TEST(RegionCaptureTest, CancelIsSilentAndFailuresAlertWithoutLeavingTheFile) {
    FakeCapture host;
    RegionCapture capture(host);
    capture.captureViaOCR();
    host.exit(); // Escape: no file
    EXPECT_FALSE(host.recognition);
    EXPECT_TRUE(host.alerts.empty());

    capture.captureViaOCR();
    host.files.insert(host.launched.back());
    host.exit();
    host.recognition(" \n ");
    EXPECT_EQ(host.alerts, std::vector<std::string>{noReadableTextMessage});
    EXPECT_TRUE(host.files.empty());

    host.launchFailure = "Failed to execute child process “maim” (No such file or directory)";
    capture.captureViaOCR();
    EXPECT_EQ(host.alerts.size(), 2U);

    // Without the desktop's screenshot service the portal road alerts instead of starting nothing.
    FakeCapture portalHost;
    RegionCapture portal(portalHost, ScreenshotTool::portal);
    portal.captureViaOCR();
    EXPECT_EQ(portalHost.alerts.size(), 1U);
}

TEST(RegionCaptureTest, ThePickersDragBecomesWholeImagePixelsAndAClickIsNoFrame) {
    // A 2x image (a scaled screen) under a 960x540 picker, dragged from the lower corner.
    EXPECT_EQ(pickedImageRegion({300.25, 80.4}, {100, 50}, 960, 540, 1920, 1080),
              (PixelRect{200, 100, 401, 61}));
    // Dragged past the screen's edge: clamped to the image.
    EXPECT_EQ(pickedImageRegion({-50, -50}, {2000, 2000}, 960, 540, 1920, 1080),
              (PixelRect{0, 0, 1920, 1080}));
    EXPECT_EQ(pickedImageRegion({10, 10}, {11, 200}, 960, 540, 1920, 1080), std::nullopt) << "a thin line";
    EXPECT_EQ(pickedImageRegion({0, 0}, {50, 50}, 0, 540, 1920, 1080), std::nullopt) << "an unmapped picker";

    EXPECT_TRUE(desktopFramesRegions("ubuntu:GNOME"));
    EXPECT_FALSE(desktopFramesRegions("GNOME-Flashback-ish"));
}

TEST(RegionCaptureTest, SlurpFramesTheRegionForGrimAndACancelWritesNothing) {
    // Stand-ins for the two programs: slurp prints a region or fails like Escape; grim records its arguments.
    const std::filesystem::path bin = std::filesystem::temp_directory_path() / "ulvo-capture-logic-bin";
    std::filesystem::create_directories(bin);
    const auto script = [&](const std::string& name, const std::string& body) {
        const std::filesystem::path path = bin / name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    };
    script("slurp", "[ -e \"$0.cancel\" ] && exit 1\necho '10,20 300x40'\n");
    script("grim", "printf '%s|' \"$@\" > \"$(dirname \"$0\")/grim.args\"\n");
    const std::filesystem::path file = bin / "ulvo-ocr-A B'$(x).png";
    // The command as the program runs it, each argument as it is: xargs hands them to env unquoted.
    std::ofstream arguments(bin / "argv", std::ios::binary);
    for (const std::string& argument : screenshotCommand(file, ScreenshotTool::grimSlurp)) {
        arguments << argument << '\0';
    }
    arguments.close();
    const std::string command =
        "PATH=" + bin.string() + ":/usr/bin:/bin xargs -0 -a " + (bin / "argv").string() + " env";
    const auto run = [&] { return std::system(command.c_str()); };
    EXPECT_EQ(run(), 0);
    std::ifstream recorded(bin / "grim.args");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(recorded), {}),
              "-g|10,20 300x40|" + file.string() + "|");
    std::filesystem::remove(bin / "grim.args");
    const std::ofstream cancel(bin / "slurp.cancel"); // the picker is cancelled while it exists
    EXPECT_NE(run(), 0);
    EXPECT_FALSE(std::filesystem::exists(bin / "grim.args")) << "grim ran after a cancel";
    std::filesystem::remove_all(bin);
}

} // namespace
} // namespace ulvo
