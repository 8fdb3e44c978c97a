// The whole road: Alt+E in another application opens the real card with the selection and an answer
// from a chat-completions server on loopback. Runs inside scripts/private-session (scratch HOME, keyring).
#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/integration/Subprocess.h"
#include "tests/support/LoopbackServer.h"

#include <gtk/gtk.h>

#include <filesystem>

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using test::pumpFor;
using test::pumpUntil;

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
    ASSERT_EQ(test::xdotool({"key", "alt+e"}), 0);
    ASSERT_TRUE(pumpUntil([&] { return delegate.panel()->isVisible(); }, 5s)) << "no card after idle";
    ASSERT_TRUE(test::pageShows(delegate.panel()->page().view(), "A loopback explanation of the words."));
    g_application_quit(G_APPLICATION(application));
    delegate.shutDown();
}

} // namespace
} // namespace ulvo
