// The whole road: Alt+E in another application opens the real card with the selection and an answer
// from a chat-completions server on loopback. Runs inside scripts/private-session (scratch HOME, keyring).
#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/integration/Subprocess.h"
#include "tests/support/LoopbackServer.h"

#include <gtk/gtk.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using test::pumpFor;
using test::pumpUntil;

// How many of this process's descendants are WebKit's (web and network processes, however sandboxed).
int webKitProcesses() {
    std::map<int, std::pair<int, std::string>> processes; // pid: parent, name
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line; // "pid (name) state parent ..."
        const std::size_t close = std::getline(stat, line) ? line.rfind(')') : std::string::npos;
        if (close != std::string::npos && line.find('(') != std::string::npos) {
            const std::size_t open = line.find('(');
            processes[std::atoi(line.c_str())] = {std::atoi(line.c_str() + close + 4),
                                                  line.substr(open + 1, close - open - 1)};
        }
    }
    int count = 0;
    for (const auto& [pid, process] : processes) {
        for (int walk = process.first; walk > 1;) {
            if (walk == ::getpid()) {
                count += process.second.rfind("WebKit", 0) == 0 ? 1 : 0;
                break;
            }
            const auto found = processes.find(walk);
            walk = found == processes.end() ? 0 : found->second.first;
        }
    }
    return count;
}

TEST(HotKeyCardTest, AltEShowsTheSelectionAndItsAnswerInTheCard) {
    test::LoopbackServer server([](const test::RecordedRequest&) {
        return test::CannedReply{200, test::chatReply("A loopback explanation of the words.")};
    });
    test::useLoopbackProvider(server.baseURL());

    GtkApplication* application = gtk_application_new("com.zvk.ULVO.HotKeyTest", G_APPLICATION_NON_UNIQUE);
    AppDelegate delegate(std::filesystem::path(ULVO_TEST_SHARE_DIR), 2s);
    delegate.attach(application);
    ASSERT_TRUE(g_application_register(G_APPLICATION(application), nullptr, nullptr)); // start-up runs here
    pumpFor(1500ms);
    EXPECT_FALSE(delegate.holdsWebViews()) << "WebKit before any card was asked for";
    EXPECT_EQ(webKitProcesses(), 0);

    test::Background app({"/usr/bin/python3", ULVO_TEXT_APP, "--kind", "textview", "--text",
                          "Photosynthesis turns light into sugar", "--select", "0", "14"});
    ASSERT_EQ(app.readLine(15s).rfind("ready", 0), 0U) << "the text application did not start";
    pumpFor(500ms);

    ASSERT_EQ(test::xdotool({"key", "alt+e"}), 0);
    ASSERT_TRUE(pumpUntil([&] { return delegate.panel()->isVisible(); }, 5s)) << "no card";
    WebKitWebView* view = delegate.panel()->page().view();
    ASSERT_TRUE(test::pageShows(view, "A loopback explanation of the words.")) << test::pageText(view);
    ASSERT_FALSE(server.requests().empty());
    EXPECT_NE(server.requests().back().body.find("Photosynthesis"), std::string::npos);

    EXPECT_TRUE(test::screenshot(std::filesystem::path(ULVO_TEST_SCREENSHOT_DIR) / "card-from-hot-key.png",
                                 test::screenRect(GTK_WIDGET(delegate.panel()->window()))));

    // Closed for the idle limit, the card lets WebKit go; the next Alt+E makes it again.
    delegate.hidePanel();
    ASSERT_TRUE(pumpUntil([&] { return !delegate.holdsWebViews(); }, 5s)) << "kept after the idle limit";
    EXPECT_TRUE(pumpUntil([] { return webKitProcesses() == 0; }, 10s)) << "WebKit's processes lived on";
    ASSERT_EQ(test::xdotool({"key", "alt+e"}), 0);
    ASSERT_TRUE(pumpUntil([&] { return delegate.panel()->isVisible(); }, 5s)) << "no card after idle";
    ASSERT_TRUE(test::pageShows(delegate.panel()->page().view(), "A loopback explanation of the words."));
    g_application_quit(G_APPLICATION(application));
    delegate.shutDown();
}

} // namespace
} // namespace ulvo
