// The history on the real desktop: explanations from a loopback provider are kept, listed newest first in
// the history window, reopened in the card without a new request, and deleted; Settings' "Keep a history"
// switched off keeps nothing more. Runs inside scripts/private-session (scratch HOME, keyring).
#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "platform/linux/SqliteHistoryStore.h"
#include "tests/integration/DesktopTestSupport.h"
#include "tests/support/Files.h"
#include "tests/support/LoopbackServer.h"

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using test::pumpUntil;

nlohmann::json listed(WebKitWebView* view) {
    return test::evaluate(
        view, "Array.from(document.querySelectorAll('.entry .selection')).map(e => e.textContent)");
}

TEST(HistoryWindowTest, KeepsListsReopensAndDeletes) {
    test::LoopbackServer server([](const test::RecordedRequest& request) {
        const auto has = [&](const char* words) { return request.body.find(words) != std::string::npos; };
        return test::CannedReply{200,
                                 test::chatReply(has("once more")        ? "Once more, plants make sugar."
                                                 : has("Photosynthesis") ? "Plants make sugar from light."
                                                                         : "Cells burn sugar.")};
    });
    test::useLoopbackProvider(server.baseURL());
    // The session's other desktop tests keep their explanations too: this one starts from no history.
    const std::filesystem::path file = SqliteHistoryStore::defaultPath();
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(file.string() + suffix);
    }
    GtkApplication* application = gtk_application_new("com.zvk.ULVO.HistoryTest", G_APPLICATION_NON_UNIQUE);
    AppDelegate delegate(std::filesystem::path(ULVO_TEST_SHARE_DIR));
    delegate.attach(application);
    ASSERT_TRUE(g_application_register(G_APPLICATION(application), nullptr, nullptr));

    delegate.showCardWithSelection("Photosynthesis turns light into sugar");
    WebKitWebView* card = delegate.panel()->page().view();
    ASSERT_TRUE(test::pageShows(card, "Plants make sugar from light.")) << test::pageText(card);
    // Kept once written (a new selection before then would rightly leave it out, as never finished).
    const auto written = [&file](const char* words) {
        return (test::readFile(file) + test::readFile(file.string() + "-wal")).find(words) !=
               std::string::npos;
    };
    ASSERT_TRUE(pumpUntil([&] { return written("Photosynthesis"); }, 10s)) << "the first answer was not kept";
    delegate.showCardWithSelection("Mitochondria make energy");
    ASSERT_TRUE(test::pageShows(card, "Cells burn sugar.")) << test::pageText(card);

    delegate.showHistory();
    ASSERT_NE(delegate.historyWindow(), nullptr);
    WebKitWebView* history = delegate.historyWindow()->page().view();
    const nlohmann::json both = {"Mitochondria make energy", "Photosynthesis turns light into sugar"};
    ASSERT_TRUE(pumpUntil([&] { return listed(history) == both; }, 20s)) << test::pageText(history);

    const std::size_t asked = server.requests().size();
    test::evaluate(history, "document.querySelectorAll('.entry .open')[1].click(); true");
    ASSERT_TRUE(pumpUntil([&] {
        return test::pageText(card).find("Photosynthesis turns light into sugar") != std::string::npos &&
               test::pageText(card).find("Plants make sugar from light.") != std::string::npos;
    })) << test::pageText(card);

    // That nothing of them stays in the files is the store's test.
    test::evaluate(history, "document.getElementById('delete-all').click();"
                            "document.getElementById('confirm-yes').click(); true");
    ASSERT_TRUE(test::pageShows(history, "The history is empty."));

    // Off in Settings: the next explanation is not kept.
    delegate.showSettings();
    WebKitWebView* settings = delegate.settingsWindow()->page().view();
    ASSERT_TRUE(test::pageShows(settings, "Keep a history"));
    ASSERT_TRUE(pumpUntil(
        [&] { return test::evaluate(settings, "document.getElementById('history-keep').checked") == true; }));
    test::evaluate(settings, "const k = document.getElementById('history-keep'); k.checked = false;"
                             "k.dispatchEvent(new Event('change')); true");
    ASSERT_TRUE(test::pageShows(settings, "Nothing more is kept."));
    delegate.showCardWithSelection("Photosynthesis once more");
    ASSERT_TRUE(test::pageShows(card, "Once more, plants make sugar."));
    // Requests are answered in order, so a request made by reopening would have come before this one.
    EXPECT_EQ(server.requests().size(), asked + 1) << "reopening asked again";
    // The history's list is read after any write the answer would have queued.
    test::evaluate(history, "document.getElementById('status').textContent = ''; true");
    delegate.showHistory();
    EXPECT_TRUE(test::pageShows(history, "The history is empty."));

    g_application_quit(G_APPLICATION(application));
    delegate.shutDown();
}

} // namespace
} // namespace ulvo
