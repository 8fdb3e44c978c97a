// The ulvo program itself: one instance per session, later starts handed over, the window accelerators.
// Runs inside scripts/private-session.
#include "tests/integration/DesktopTestSupport.h"
#include "tests/integration/Subprocess.h"
#include "tests/support/Files.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

namespace ulvo {
namespace {

using namespace test;

bool busNameOwned(const char* name) {
    std::string output;
    run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
         "org.freedesktop.DBus.NameHasOwner", std::string("string:") + name},
        &output);
    return output.find("boolean true") != std::string::npos;
}

// Visible windows with exactly this title.
std::vector<std::string> visibleWindows(const std::string& title) {
    std::string output;
    run({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}, &output);
    std::istringstream lines(output);
    std::vector<std::string> ids;
    for (std::string id; lines >> id;) {
        ids.push_back(id);
    }
    return ids;
}

// The window the window manager stacks on top, as xdotool writes window ids.
std::string topWindow() {
    std::string output;
    run({"xprop", "-root", "_NET_CLIENT_LIST_STACKING"}, &output);
    const std::size_t last = output.find_last_of(" ,#");
    return last == std::string::npos ? "" : std::to_string(std::stoul(output.substr(last + 1), nullptr, 16));
}

// The conditions run programs, so they are polled gently.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 15s) {
    return eventually(condition, limit, 50ms);
}

class AppInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(waitFor([] { return busNameOwned("com.zvk.ULVO"); })) << "the program did not start";
    }
    bool running() { return !primary_.exitStatus(0ms); }

    Background primary_{{ULVO_TEST_PROGRAM}};
};

TEST_F(AppInstanceTest, LaterStartsHandOverAndTheAcceleratorsWork) {
    // Each absence below is read once a later request has mapped a window: the program handles its
    // requests in order, so a wrong window would have been mapped before that one.
    EXPECT_EQ(run({ULVO_TEST_PROGRAM, "--settings"}), 0);
    ASSERT_TRUE(waitFor([] { return visibleWindows("ULVO Settings").size() == 1; }));
    EXPECT_TRUE(visibleWindows("ULVO").empty()) << "the program starts in the background";

    // --settings asked for again shows the same window; a plain later start shows the card and ends.
    EXPECT_EQ(run({ULVO_TEST_PROGRAM, "--settings"}), 0);
    EXPECT_EQ(run({ULVO_TEST_PROGRAM}), 0);
    ASSERT_TRUE(waitFor([] { return visibleWindows("ULVO").size() == 1; }));
    EXPECT_EQ(visibleWindows("ULVO Settings").size(), 1u) << "no second settings window";
    EXPECT_TRUE(running()) << "the first instance still runs";
    // Pages paint on the CPU: neither GTK nor WebKit may map a GL driver (Mesa and LLVM, tens of MB
    // held for as long as the program runs).
    const std::string maps = readFile("/proc/" + std::to_string(primary_.pid()) + "/maps");
    for (const char* driver : {"libEGL_mesa", "libGLX_mesa", "_dri.so", "libLLVM"}) {
        EXPECT_EQ(maps.find(driver), std::string::npos) << driver;
    }

    // Ctrl+H hides every window of the program.
    const std::string settings = visibleWindows("ULVO Settings").front();
    run({"xdotool", "windowactivate", "--sync", settings});
    run({"xdotool", "key", "--clearmodifiers", "ctrl+h"});
    ASSERT_TRUE(
        waitFor([] { return visibleWindows("ULVO").empty() && visibleWindows("ULVO Settings").empty(); }));

    // Ctrl+, on the card opens Settings; Ctrl+Q quits through the normal shut-down.
    EXPECT_EQ(run({ULVO_TEST_PROGRAM}), 0);
    ASSERT_TRUE(waitFor([] { return visibleWindows("ULVO").size() == 1; }));
    const std::string card = visibleWindows("ULVO").front();
    EXPECT_EQ(run({ULVO_TEST_PROGRAM}), 0);
    run({"xdotool", "windowactivate", "--sync", card});
    run({"xdotool", "key", "--clearmodifiers", "ctrl+comma"});
    ASSERT_TRUE(waitFor([] { return visibleWindows("ULVO Settings").size() == 1; }));
    EXPECT_EQ(visibleWindows("ULVO").size(), 1u) << "no second card";
    // Asked for again while Settings shows, the card comes above it.
    EXPECT_EQ(run({ULVO_TEST_PROGRAM, "--explain"}), 0);
    EXPECT_TRUE(waitFor([&card] { return topWindow() == card; }, 5s)) << "the card stays behind Settings";
    run({"xdotool", "windowactivate", "--sync", card});
    run({"xdotool", "key", "--clearmodifiers", "ctrl+q"});
    EXPECT_EQ(primary_.exitStatus(15s), 0) << "Ctrl+Q did not quit through the normal shut-down";
}

TEST_F(AppInstanceTest, ExplainAndCaptureOptionsRunTheHotKeysActionsInTheRunningInstance) {
    const std::string self = std::to_string(primary_.pid());
    // Options are read by the starting process: a wrong one changes nothing in the running instance.
    EXPECT_EQ(run({ULVO_TEST_PROGRAM, "--no-such-option"}), 1);
    EXPECT_TRUE(visibleWindows("ULVO").empty());

    EXPECT_EQ(run({ULVO_TEST_PROGRAM, "--capture"}), 0);
    ASSERT_TRUE(waitFor([&] {
        return run({"pgrep", "-P", self, "-x", "maim"}) == 0;
    })) << "the region capture did not start in the running instance";
    EXPECT_TRUE(visibleWindows("ULVO").empty());
    run({"xdotool", "keydown", "Escape", "sleep", "0.15", "keyup", "Escape"});
    ASSERT_TRUE(waitFor([&] { return run({"pgrep", "-P", self, "-x", "maim"}) == 1; }));

    EXPECT_EQ(run({ULVO_TEST_PROGRAM, "--explain"}), 0);
    ASSERT_TRUE(waitFor([] { return visibleWindows("ULVO").size() == 1; }));
    EXPECT_TRUE(running());
}

TEST_F(AppInstanceTest, TerminationEndsCleanlyAndPromptlyWhileAProviderStalls) {
    LoopbackServer stalling([](const RecordedRequest&) {
        return CannedReply{200, chatReply("too late"), "application/json", 4s};
    });
    useLoopbackProvider(stalling.baseURL());
    Background app({"/usr/bin/python3", ULVO_TEXT_APP, "--kind", "textview", "--text",
                    "Glaciers carve valleys", "--select", "0", "8"});
    ASSERT_EQ(app.readLine(15s).rfind("ready", 0), 0U) << "the text application did not start";
    EXPECT_EQ(run({ULVO_TEST_PROGRAM, "--explain"}), 0);
    ASSERT_TRUE(waitFor([&] { return !stalling.requests().empty(); })) << "no request reached the provider";

    const auto start = std::chrono::steady_clock::now();
    kill(primary_.pid(), SIGTERM);
    EXPECT_EQ(primary_.exitStatus(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "quitting waited for the provider";
}

} // namespace
} // namespace ulvo
