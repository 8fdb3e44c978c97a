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

namespace ulvo {
namespace {

using namespace std::chrono_literals;

// ---- Clipboard copy -------------------------------------------------------------------------------

struct FakeClipboard final : ClipboardPort, CopyKeystroke {
    ClipboardSnapshot contents;
    std::uint64_t changes = 0;
    int snapshots = 0;
    int restores = 0;
    int keystrokes = 0;
    bool terminal = false; // the keystroke would reach a terminal
    // What the focused application puts on the clipboard when it receives Control+C.
    std::optional<ClipboardSnapshot> copyResult;
    std::deque<std::function<void()>> loop; // the main loop's queued work

    void snapshot(std::function<void(ClipboardSnapshot)> completion) override {
        ++snapshots;
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
    void restore(ClipboardSnapshot snapshot) override {
        ++restores;
        contents = std::move(snapshot);
    }
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
        return [this](std::chrono::milliseconds delay, std::function<void()> task) {
            EXPECT_EQ(delay, terminal ? 0ms : 120ms);
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

TEST(ClipboardCopyTest, ReturnsTheCopiedTextTrimmedAndPutsTheClipboardBackExactly) {
    struct Case {
        const char* name;
        ClipboardSnapshot before;
        std::optional<ClipboardSnapshot> copied; // what the application puts there, if anything
        std::string text;
    };
    const std::vector<Case> cases = {
        {"text over every kind of target", richClipboard(),
         ClipboardSnapshot{entry("UTF8_STRING", "  word\n")}, "word"},
        {"a copy without text", richClipboard(), ClipboardSnapshot{{"image/png", "image/png", 8, {1, 2, 3}}},
         ""},
        {"an empty clipboard stays empty", {}, ClipboardSnapshot{entry("UTF8_STRING", "x")}, "x"},
        {"no copy at all", richClipboard(), std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClipboard clipboard;
        clipboard.contents = c.before;
        clipboard.copyResult = c.copied;
        ClipboardCopier copier(clipboard, clipboard, clipboard.later());
        std::vector<std::string> results;
        copier.copySelectionViaClipboard([&](std::string text) { results.push_back(text); });
        clipboard.run();
        EXPECT_EQ(results, std::vector<std::string>{c.text});
        EXPECT_EQ(clipboard.contents, c.before);
        EXPECT_EQ(clipboard.restores, c.copied ? 1 : 0) << "nothing copied, nothing to put back";
        EXPECT_FALSE(copier.pending());
    }
}

TEST(ClipboardCopyTest, OverlappingCallsShareOneCopyAndKeepTheUsersClipboard) {
    FakeClipboard clipboard;
    clipboard.contents = richClipboard();
    clipboard.copyResult = ClipboardSnapshot{entry("UTF8_STRING", "selected")};
    ClipboardCopier copier(clipboard, clipboard, clipboard.later());
    std::vector<std::string> results;
    copier.copySelectionViaClipboard([&](std::string text) { results.push_back("first:" + text); });
    // The second call arrives while the snapshot is still being read, the third while the look waits.
    copier.copySelectionViaClipboard([&](std::string text) { results.push_back("second:" + text); });
    clipboard.loop.front()();
    clipboard.loop.pop_front();
    copier.copySelectionViaClipboard([&](std::string text) { results.push_back("third:" + text); });
    clipboard.run();
    EXPECT_EQ(results, (std::vector<std::string>{"first:selected", "second:selected", "third:selected"}));
    EXPECT_EQ(clipboard.snapshots, 1);
    EXPECT_EQ(clipboard.keystrokes, 1);
    EXPECT_EQ(clipboard.restores, 1);
    EXPECT_EQ(clipboard.contents, richClipboard());

    // A completion may start the next copy at once; it is a fresh one.
    results.clear();
    copier.copySelectionViaClipboard([&](std::string text) {
        results.push_back(text);
        copier.copySelectionViaClipboard([&](std::string again) { results.push_back("again:" + again); });
    });
    clipboard.run();
    EXPECT_EQ(results, (std::vector<std::string>{"selected", "again:selected"}));
    EXPECT_EQ(clipboard.snapshots, 3);
    EXPECT_EQ(clipboard.contents, richClipboard());
}

TEST(ClipboardCopyTest, ATerminalNeverGetsTheKeystrokeAndTheClipboardStaysUntouched) {
    FakeClipboard clipboard;
    clipboard.contents = richClipboard();
    clipboard.copyResult = ClipboardSnapshot{entry("UTF8_STRING", "would interrupt")};
    clipboard.terminal = true;
    ClipboardCopier copier(clipboard, clipboard, clipboard.later());
    std::vector<std::string> results;
    copier.copySelectionViaClipboard([&](std::string text) { results.push_back(text); });
    EXPECT_TRUE(results.empty()) << "the completion runs from the main loop, not inside the call";
    clipboard.run();
    EXPECT_EQ(results, std::vector<std::string>{""});
    EXPECT_EQ(clipboard.snapshots, 0);
    EXPECT_EQ(clipboard.keystrokes, 0);

    // The focus moves to a terminal while the snapshot is read: still no keystroke, nothing restored.
    clipboard.terminal = false;
    copier.copySelectionViaClipboard([&](std::string text) { results.push_back(text); });
    clipboard.terminal = true;
    clipboard.run();
    EXPECT_EQ(results, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(clipboard.keystrokes, 0);
    EXPECT_EQ(clipboard.restores, 0);
    EXPECT_EQ(clipboard.contents, richClipboard());
    EXPECT_FALSE(copier.pending());
}

TEST(TerminalsTest, EmulatorsByEitherWindowClassNameWholeOrDashedAndNothingElse) {
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"xterm", "XTerm", true},
        {"st-256color", "St", true},
        {"Alacritty", "Alacritty", true},
        {"gnome-terminal-server", "Gnome-terminal", true},
        {"", "org.gnome.Terminal", true},
        {"Navigator", "firefox-esr", false},
        {"", "", false},
        {"kittyhawk", "Kittyhawk", false},
    };
    for (const auto& [instance, windowClass, terminal] : cases) {
        EXPECT_EQ(isTerminalWindowClass(instance, windowClass), terminal) << instance << " / " << windowClass;
    }
}

// ---- Selection reader -----------------------------------------------------------------------------

struct FakeFocus final : FocusedText {
    bool focused = true;
    std::optional<TextRange> range = TextRange{0, 5};
    std::optional<std::string> characters = "  two words \n";
    std::optional<Rect> extents = Rect{10, 20, 30, 15};
    bool focus() override { return focused; }
    std::optional<TextRange> selectedRange() override { return range; }
    std::optional<std::string> text(TextRange) override { return characters; }
    std::optional<Rect> rangeExtents(TextRange) override { return extents; }
};

TEST(SelectionReaderTest, TextAndRectangleAreIndependentHalves) {
    FakeFocus focus;
    EXPECT_EQ(globalSelection(focus), (SelectionResult{"two words", Rect{10, 20, 30, 15}}));
    focus.characters = " \n\t ";
    EXPECT_EQ(globalSelection(focus), (SelectionResult{"", Rect{10, 20, 30, 15}}));
    focus.characters.reset();
    EXPECT_EQ(globalSelection(focus), (SelectionResult{"", Rect{10, 20, 30, 15}}));
    focus.characters = "text";
    focus.extents.reset();
    EXPECT_EQ(globalSelection(focus), (SelectionResult{"text", std::nullopt}));
    focus.range.reset();
    EXPECT_EQ(globalSelection(focus), SelectionResult{});
    focus.focused = false;
    EXPECT_EQ(globalSelection(focus), SelectionResult{});
}

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
    const FakeElement link = element("sun", std::nullopt);
    const FakeElement first = element("Plants use # light", TextRange{6, 18}, true, {{11, link}});
    const FakeElement second = element("Second paragraph", TextRange{0, 6}, true);
    struct Case {
        const char* name;
        FakeElement root;
        std::string text;
        bool bounded;
    };
    const std::vector<Case> cases = {
        {"one word in a paragraph",
         element("#", TextRange{0, 1}, false, {{0, element("Photosynthesis", TextRange{0, 14}, true)}}),
         "Photosynthesis", true},
        {"across paragraphs, a link inside", element("##", TextRange{0, 2}, false, {{0, first}, {1, second}}),
         "use sun light\nSecond", true},
        {"inline run inside a paragraph",
         element("a #!", TextRange{0, 4}, true, {{2, element("bold", std::nullopt)}}), "a bold!", true},
        {"a placeholder nothing answers for", element("#", TextRange{0, 1}), "", false},
        {"a child that answers with nothing readable",
         element("x#", TextRange{0, 2}, false, {{1, element("", TextRange{3, 1})}}), "x", true},
    };
    for (const Case& c : cases) {
        FakeElement document = c.root;
        const SelectionResult read = globalSelection(document);
        EXPECT_EQ(read.text, c.text) << c.name;
        EXPECT_EQ(read.bounds.has_value(), c.bounded) << c.name;
    }
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
    std::optional<Rect> screen = Rect{0, 0, 1920, 1080};
    std::vector<bool> trustReports;
    std::string pending;
    std::optional<Point> tagAt; // shown at, or hidden
    int selectionReads = 0;
    std::vector<std::function<void(std::string)>> copies;
    std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> timers;

    bool accessibilityTrusted() override { return trusted; }
    void setAccessibility(bool value) override { trustReports.push_back(value); }
    bool frontmostIsSelf() override { return ownFrontmost; }
    unsigned long activeWindow() override { return active; }
    SelectionResult globalSelection() override {
        ++selectionReads;
        return selection;
    }
    PrimarySelection& primarySelection() override { return primary; }
    bool primaryHeldByActiveProgram() override { return primaryHeld; }
    void copySelectionViaClipboard(std::function<void(std::string)> completion) override {
        copies.push_back(std::move(completion));
    }
    void runAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        timers.emplace_back(delay, std::move(task));
    }
    std::optional<Point> pointer() override { return pointerAt; }
    std::optional<Rect> mainScreenFrame() override { return screen; }
    void setPendingSelection(const std::string& text) override { pending = text; }
    void showTag(Point origin) override { tagAt = origin; }
    void hideTag() override { tagAt.reset(); }
    void fireTimers() {
        auto due = std::move(timers);
        timers.clear();
        for (auto& [delay, task] : due) {
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

TEST_F(MonitorTest, TagShowsThreePollsAfterAStableSelectionBesideItsBottomRight) {
    desktop.selection = {"word", Rect{100, 200, 50, 20}};
    poll(3);
    EXPECT_FALSE(desktop.tagAt);
    poll();
    EXPECT_EQ(desktop.tagAt, (Point{158, 1080 - 220 - 46}));
    EXPECT_EQ(desktop.pending, "word");
    // Clearing the selection hides the tag at the next poll.
    desktop.selection = {};
    poll();
    EXPECT_FALSE(desktop.tagAt);
}

TEST_F(MonitorTest, ChangingSelectionsKeepTheTagHiddenAndItDoesNotReturnForTheSameText) {
    for (int i = 0; i < 6; ++i) {
        desktop.selection.text = std::string(static_cast<std::size_t>(i + 1), 'a');
        poll();
        now += 100ms; // a new candidate every 0.3 s
        EXPECT_FALSE(desktop.tagAt);
    }
    desktop.selection.text = "first";
    poll(4);
    ASSERT_TRUE(desktop.tagAt);
    desktop.selection.text = "second";
    poll();
    desktop.selection.text = "first";
    poll(5);
    EXPECT_FALSE(desktop.tagAt) << "the tag already stood for this text";
    desktop.selection.text.clear();
    poll();
    desktop.selection.text = "first";
    poll(4);
    EXPECT_EQ(desktop.tagAt, (Point{512, 450})) << "without bounds, beside the pointer";
}

TEST_F(MonitorTest, WhereThePointerIsUnknownOnlyASelectionsRectanglePlacesTheTag) {
    desktop.pointerAt.reset();
    desktop.selection.text = "no place";
    poll(6);
    EXPECT_FALSE(desktop.tagAt);
    EXPECT_EQ(desktop.pending, "") << "nothing stands behind a tag that did not show";
    // The same selection gets a rectangle (its window became known): the tag shows beside it.
    desktop.selection.bounds = Rect{100, 200, 50, 20};
    poll();
    EXPECT_EQ(desktop.tagAt, (Point{158, 1080 - 220 - 46}));
    EXPECT_EQ(desktop.pending, "no place");
    // No mouse road without a pointer.
    press({0, 0});
    desktop.select("double-clicked");
    monitor.handleGlobalMouseUp(2);
    EXPECT_EQ(desktop.primary.reads, 0);
}

TEST_F(MonitorTest, TrustIsReportedOnChangeOnlyAndOwnWindowsAreLeftAlone) {
    desktop.trusted = false;
    desktop.selection.text = "x";
    poll(5);
    EXPECT_EQ(desktop.trustReports, std::vector<bool>{false});
    EXPECT_EQ(desktop.selectionReads, 0);
    desktop.trusted = true;
    desktop.ownFrontmost = true;
    poll(5);
    EXPECT_EQ(desktop.trustReports, (std::vector<bool>{false, true}));
    EXPECT_EQ(desktop.selectionReads, 0);
    drag({0, 0}, {300, 0}, "in the card");
    EXPECT_EQ(desktop.primary.reads, 0);
    EXPECT_FALSE(desktop.tagAt);
}

TEST_F(MonitorTest, MouseUpReadsOnlyAFreshSelectionAfterADragOrMultipleClickAndOneAtATime) {
    desktop.select("old selection");
    drag({100, 100}, {100, 100}, "");
    EXPECT_EQ(desktop.primary.reads, 0) << "a plain click selects nothing";
    // A drag that selected nothing: the old selection is not read, and a change after the wait is not
    // taken for this drag.
    drag({100, 100}, {300, 100}, "");
    EXPECT_EQ(desktop.primary.reads, 0);
    ASSERT_EQ(desktop.timers.size(), 1U);
    EXPECT_EQ(desktop.timers[0].first, SelectionMonitor::selectionChangeWait);
    desktop.fireTimers();
    desktop.select("someone else's later selection");
    monitor.primarySelectionChanged();
    EXPECT_EQ(desktop.primary.reads, 0);
    EXPECT_FALSE(desktop.tagAt);

    // A terminal takes the selection at the release: a change while waiting is read. So is one that
    // was made after the press but announced only after the release.
    drag({100, 100}, {300, 100}, "");
    monitor.primarySelectionChanged();
    EXPECT_EQ(desktop.primary.reads, 0) << "an announcement of an older owner";
    desktop.select("  terminal words\n");
    monitor.primarySelectionChanged();
    EXPECT_EQ(desktop.primary.reads, 1);
    EXPECT_EQ(desktop.pending, "terminal words");
    ASSERT_TRUE(desktop.tagAt);
    desktop.fireTimers();
    EXPECT_TRUE(desktop.tagAt) << "the expired wait leaves the shown tag alone";

    // A double click without movement: its word was selected by the second press, after the first.
    desktop.pointerAt = {200, 200};
    press({200, 200});
    monitor.handleGlobalMouseUp(1);
    press({200, 200}, 2);
    desktop.select("word");
    desktop.primary.hold = true;
    monitor.handleGlobalMouseUp(2);
    EXPECT_EQ(desktop.primary.reads, 2);
    EXPECT_TRUE(monitor.mouseTagBusy());
    // A second mouse-up while the read is pending is ignored.
    monitor.handleGlobalMouseUp(3);
    EXPECT_EQ(desktop.primary.reads, 2);
    desktop.primary.held.back()(std::string("word"));
    EXPECT_FALSE(monitor.mouseTagBusy());
    EXPECT_EQ(desktop.pending, "word");
    desktop.primary.hold = false;

    // The announcement handled before the mouse events that came first: the times still tell.
    const std::uint32_t pressTime = desktop.serverTime += 10;
    desktop.primary.text = "raced";
    desktop.primary.owned = pressTime + 5;
    desktop.serverTime += 10;
    monitor.primarySelectionChanged();
    monitor.mouseDown({{100, 100}, 1, pressTime});
    desktop.pointerAt = {300, 100};
    monitor.handleGlobalMouseUp(1);
    EXPECT_EQ(desktop.pending, "raced");

    // 4 points is still a click; 4.5 is a drag.
    drag({100, 100}, {104, 100}, "four");
    EXPECT_EQ(desktop.primary.reads, 3);
    drag({100, 100}, {104.5, 100}, "four and a half");
    EXPECT_EQ(desktop.pending, "four and a half");
    EXPECT_TRUE(desktop.copies.empty()) << "the tag never copies";

    // Without accessibility the desktop's selection still shows the tag; its own selections do not.
    desktop.trusted = false;
    drag({100, 100}, {300, 100}, "untrusted");
    EXPECT_EQ(desktop.pending, "untrusted");
    desktop.primary.own = true;
    drag({100, 100}, {300, 100}, "selected in the card");
    EXPECT_EQ(desktop.pending, "untrusted");
    EXPECT_FALSE(desktop.tagAt);
}

TEST_F(MonitorTest, MouseSelectionTagPlacementAndDismissal) {
    // Right-to-left on one line without usable bounds: beside the press point and below its line, so
    // the tag never covers the selected word.
    const auto clearOfLine = [&](Point anchor) {
        ASSERT_TRUE(desktop.tagAt);
        EXPECT_GT(desktop.tagAt->x, anchor.x);
        EXPECT_LE(desktop.tagAt->y + tagHeight, anchor.y - 16);
    };
    desktop.selection = {"", Rect{0, 0, 1, 1}};
    drag({300, 400}, {200, 403}, "selected");
    clearOfLine({300, 400});
    EXPECT_EQ(desktop.pending, "selected");
    EXPECT_TRUE(monitor.tagFromMouseSelection());
    // The poll leaves a mouse-selection tag alone.
    desktop.selection = {};
    poll(3);
    EXPECT_TRUE(desktop.tagAt);
    // The next press anywhere removes it.
    press({10, 10});
    EXPECT_FALSE(desktop.tagAt);
    EXPECT_EQ(monitor.shownTagSelection(), "");
    // A drag ending lower on the screen: beside the release point.
    drag({400, 900}, {50, 900 - 300}, "more");
    clearOfLine({50, 600});
    // With real bounds: beside the selection.
    desktop.selection = {"", Rect{100, 200, 50, 20}};
    drag({0, 0}, {90, 0}, "again");
    EXPECT_EQ(desktop.tagAt, (Point{158, 814}));
}

TEST_F(MonitorTest, AMouseSelectionTagGoesWithItsSelectionOrItsWindow) {
    drag({100, 100}, {300, 100}, "selected");
    ASSERT_TRUE(desktop.tagAt);
    poll(3);
    EXPECT_TRUE(desktop.tagAt) << "the same window, the same selection";
    // The selection is cleared (its owner gives it up or ends).
    desktop.primary.owned.reset();
    monitor.primarySelectionChanged();
    EXPECT_FALSE(desktop.tagAt);
    EXPECT_FALSE(monitor.tagFromMouseSelection());

    drag({100, 100}, {300, 100}, "again");
    ASSERT_TRUE(desktop.tagAt);
    // Another window takes the focus: the next poll hides the tag.
    desktop.active = 8;
    poll();
    EXPECT_FALSE(desktop.tagAt);
    EXPECT_EQ(monitor.shownTagSelection(), "");
}

TEST_F(MonitorTest, ExplainReadsAccessibilityThenTheDesktopSelectionThenCopies) {
    std::vector<std::string> shown;
    const auto show = [&](const std::string& text) { shown.push_back(text); };
    desktop.selection.text = "visible";
    desktop.select("primary words");
    monitor.captureSelectionAndShow(show);
    EXPECT_EQ(shown, std::vector<std::string>{"visible"});
    EXPECT_EQ(desktop.primary.reads, 0);
    // Where the program the user is in holds the desktop's selection and accessibility shows a part of
    // it, the held one is the whole (a document shows one paragraph of a selection across several).
    desktop.primaryHeld = true;
    desktop.selection.text = "second paragraph";
    desktop.select("first paragraph\n\nsecond  paragraph");
    monitor.captureSelectionAndShow(show);
    EXPECT_EQ(shown.back(), "first paragraph\n\nsecond  paragraph");
    // Held text that does not hold accessibility's is stale (selected all by key): accessibility wins.
    desktop.selection.text = "visible";
    desktop.select("primary words");
    monitor.captureSelectionAndShow(show);
    EXPECT_EQ(shown.back(), "visible");
    desktop.select("");
    monitor.captureSelectionAndShow(show);
    EXPECT_EQ(shown.back(), "visible") << "an empty hold leaves accessibility's text";
    shown = {"visible"};
    desktop.primaryHeld = false;
    desktop.select("primary words");

    desktop.selection.text.clear();
    monitor.captureSelectionAndShow(show);
    EXPECT_EQ(shown.back(), "primary words");
    EXPECT_TRUE(desktop.copies.empty());

    // Held by this program, or empty: the copy is the last resort.
    desktop.primary.own = true;
    monitor.captureSelectionAndShow(show);
    desktop.primary.own = false;
    desktop.primary.text = " \n";
    monitor.captureSelectionAndShow(show);
    ASSERT_EQ(desktop.copies.size(), 2U);
    desktop.copies[0]("copied");
    desktop.copies[1]("");
    EXPECT_EQ(shown, (std::vector<std::string>{"visible", "primary words", "copied", ""}))
        << "the card still shows, keeping its text";
}

TEST(ClickCounterTest, CountsWithinTimeAndDistanceAcrossTheClockWrap) {
    ClickCounter clicks({400, 5});
    EXPECT_EQ(clicks.press(1000, {10, 10}), 1);
    EXPECT_EQ(clicks.press(1300, {13, 12}), 2);
    EXPECT_EQ(clicks.press(1600, {13, 12}), 3);
    EXPECT_EQ(clicks.press(2100, {13, 12}), 1) << "too late";
    EXPECT_EQ(clicks.press(2200, {30, 12}), 1) << "too far";
    EXPECT_EQ(clicks.press(0xFFFFFF00U, {0, 0}), 1);
    EXPECT_EQ(clicks.press(0x40U, {0, 0}), 2) << "the server clock wrapped";
}

// ---- Hot keys --------------------------------------------------------------------------------------

TEST(HotKeysTest, VariantsMatchingAndDispatch) {
    ModifierMasks masks;
    masks.numLock = 1U << 4;
    const unsigned alt = masks.alt;
    const unsigned shift = masks.shift;
    EXPECT_EQ(grabModifierVariants(alt, masks),
              (std::vector<unsigned>{alt, alt | masks.capsLock, alt | masks.numLock,
                                     alt | masks.capsLock | masks.numLock}));
    ModifierMasks noNumLock;
    EXPECT_EQ(grabModifierVariants(alt, noNumLock).size(), 2U);

    const std::vector<HotKeyBinding> bindings = {{explainHotKeyId, 26, alt},
                                                 {captureHotKeyId, 26, alt | shift}};
    const unsigned button1 = 1U << 8;
    EXPECT_EQ(matchHotKey(bindings, {26, alt | masks.numLock | masks.capsLock | button1}, masks),
              explainHotKeyId);
    EXPECT_EQ(matchHotKey(bindings, {26, alt | shift | masks.numLock}, masks), captureHotKeyId);
    EXPECT_EQ(matchHotKey(bindings, {26, alt | (1U << 2)}, masks), std::nullopt)
        << "Control+Alt+E is not ours";
    EXPECT_EQ(matchHotKey(bindings, {27, alt}, masks), std::nullopt);

    EXPECT_EQ(hotKeyAction(2), HotKeyAction::capture);
    EXPECT_EQ(hotKeyAction(1), HotKeyAction::explain);
    EXPECT_EQ(hotKeyAction(0), HotKeyAction::explain);
}

TEST(HotKeysTest, TheDesktopsShortcutServiceBindsOnlyWhatItLacksAndDispatchesOnlyOurIds) {
    const auto ids = [](const std::vector<DesktopShortcut>& shortcuts) {
        std::vector<std::string> out;
        for (const DesktopShortcut& shortcut : shortcuts) {
            out.push_back(shortcut.id);
        }
        return out;
    };
    EXPECT_EQ(ids(shortcutsToBind({})), (std::vector<std::string>{"explain", "capture"}));
    EXPECT_EQ(ids(shortcutsToBind({"capture", "someone-else"})), std::vector<std::string>{"explain"});
    EXPECT_TRUE(shortcutsToBind({"explain", "capture"}).empty()) << "binding again makes desktops ask again";

    EXPECT_EQ(desktopShortcutAction("explain"), HotKeyAction::explain);
    EXPECT_EQ(desktopShortcutAction("capture"), HotKeyAction::capture);
    EXPECT_EQ(desktopShortcutAction("Explain"), std::nullopt);
    EXPECT_EQ(desktopShortcutAction(""), std::nullopt);
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

TEST(RegionCaptureTest, FramedTextReachesTheCardCancelIsSilentAndFailuresAlert) {
    FakeCapture host;
    RegionCapture capture(host);
    capture.captureViaOCR();
    const std::string file = "/tmp/x/ulvo-ocr-0A1B2C3D-0000-4000-8000-00000000ABCD.png";
    EXPECT_EQ(host.launched, (std::vector<std::string>{"maim", "--select", "--hidecursor", file}));
    host.files.insert(file);
    host.exit();
    ASSERT_TRUE(host.recognition);
    host.recognition("  first line\nsecond line\n");
    EXPECT_EQ(host.cards, std::vector<std::string>{"first line\nsecond line"});
    EXPECT_TRUE(host.files.empty());

    host.recognition = nullptr;
    capture.captureViaOCR();
    host.exit(); // Escape: no file
    EXPECT_FALSE(host.recognition);
    EXPECT_TRUE(host.alerts.empty());

    capture.captureViaOCR();
    host.files.insert(file);
    host.exit();
    host.recognition(" \n ");
    EXPECT_EQ(host.alerts, std::vector<std::string>{noReadableTextMessage});
    EXPECT_TRUE(host.files.empty());
    EXPECT_EQ(host.cards.size(), 1U);

    host.launchFailure = "Failed to execute child process “maim” (No such file or directory)";
    capture.captureViaOCR();
    EXPECT_EQ(host.alerts.back(), "ULVO could not start the screen capture. Failed to execute child process "
                                  "“maim” (No such file or directory)");
}

TEST(RegionCaptureTest, ThePickersDragBecomesWholeImagePixelsInAnyDirectionAndAClickIsNoFrame) {
    // A 2x image (a scaled screen) under a 960x540 picker; drags from either corner give the same pixels.
    const PixelRect expected{200, 100, 401, 61};
    EXPECT_EQ(pickedImageRegion({100, 50}, {300.25, 80.4}, 960, 540, 1920, 1080), expected);
    EXPECT_EQ(pickedImageRegion({300.25, 80.4}, {100, 50}, 960, 540, 1920, 1080), expected);
    // Dragged past the screen's edge: clamped to the image.
    EXPECT_EQ(pickedImageRegion({-50, -50}, {2000, 2000}, 960, 540, 1920, 1080),
              (PixelRect{0, 0, 1920, 1080}));
    EXPECT_EQ(pickedImageRegion({10, 10}, {11, 200}, 960, 540, 1920, 1080), std::nullopt) << "a thin line";
    EXPECT_EQ(pickedImageRegion({10, 10}, {10, 10}, 960, 540, 1920, 1080), std::nullopt) << "a click";
    EXPECT_EQ(pickedImageRegion({0, 0}, {50, 50}, 0, 540, 1920, 1080), std::nullopt) << "an unmapped picker";

    EXPECT_TRUE(desktopFramesRegions("GNOME"));
    EXPECT_TRUE(desktopFramesRegions("ubuntu:GNOME"));
    EXPECT_FALSE(desktopFramesRegions("KDE"));
    EXPECT_FALSE(desktopFramesRegions("GNOME-Flashback-ish"));
    EXPECT_FALSE(desktopFramesRegions(""));

    // Without the desktop's screenshot service the portal road alerts instead of starting nothing.
    FakeCapture host;
    RegionCapture portal(host, ScreenshotTool::portal);
    portal.captureViaOCR();
    ASSERT_EQ(host.alerts.size(), 1U);
    EXPECT_NE(host.alerts.front().find("no screenshot service"), std::string::npos);
    EXPECT_TRUE(host.launched.empty());
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
