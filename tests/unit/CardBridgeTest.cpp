// The card page protocol, what it hands the history, script encoding and geometry rules, without a desktop.
#include "card/CardBridge.h"
#include "answer/ModelFailure.h"
#include "card/CardGeometry.h"
#include "tests/support/RecordingCardHost.h"
#include "tests/support/TaskQueue.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>

namespace ulvo {
namespace {

using nlohmann::json;

// Hostile texts are CardWindowTest's, through the real page; here what the page cannot be given.
TEST(CardScript, InvalidUtf8BecomesReplacementCharactersInsteadOfBreakingTheScript) {
    EXPECT_EQ(cardCallScript("setSelection", {{"text", "ok \xff\xc3 end"}}),
              R"(window.ULVO.setSelection({"text":"ok \ufffd\ufffd end"}))");
}

struct Request {
    std::string text;
    std::optional<std::string> question;
    Level level;
    bool operator==(const Request&) const = default;
};

// Answers on a thread other than the test's, one at a time in order like the model queue, and hops
// back through a queue the test runs.
class BridgeTest : public ::testing::Test {
protected:
    std::unique_ptr<CardBridge> makeBridge() {
        auto explain = [this](std::string text, std::optional<std::string> question, Level level,
                              std::function<void(ExplainResult)> completion,
                              const std::function<void(const std::string&)>& partial) {
            requests.push_back({text, question, level});
            ExplainResult result = failAnswers ? ExplainResult::failure(std::make_exception_ptr(
                                                     ModelFailure("The model could not answer.")))
                                               : ExplainResult::success("answer to " + text);
            pending_.emplace_back([completion, partial, result, partials = partialsToSend] {
                for (const std::string& piece : partials) {
                    partial(piece);
                }
                completion(result);
            });
        };
        return std::make_unique<CardBridge>(host, CardAnswers{explain, [this] { ++cancels; }, {}},
                                            mainThread.poster());
    }

    // Completes the answers on a worker thread, then runs their main-thread halves.
    void drain() {
        std::thread([this] {
            for (auto& complete : pending_) {
                complete();
            }
        }).join();
        pending_.clear();
        mainThread.run();
    }

    test::RecordingCardHost host;
    test::TaskQueue mainThread;
    std::vector<Request> requests;
    bool failAnswers = false;
    std::vector<std::string> partialsToSend;
    int cancels = 0;

private:
    std::vector<std::function<void()>> pending_;
};

TEST_F(BridgeTest, RequestsCarryTheTextUntrimmedAndTheLevelAndBlankTextIsRefused) {
    auto bridge = makeBridge();
    const struct {
        json message;
        Request expected;
        const char* reply;
    } cases[] = {
        {{{"action", "explain"}, {"text", "  word  "}, {"id", 7}},
         {"  word  ", std::nullopt, 25},
         R"(window.ULVO.receiveResult({"followup":false,"id":7,"text":"answer to   word  "}))"},
        {{{"action", "followup"}, {"text", "t"}, {"level", 80}, {"question", "why?"}},
         {"t", "why?", 80},
         R"(window.ULVO.receiveResult({"followup":true,"id":null,"text":"answer to t"}))"},
        // Saturated rather than cast, which would be undefined.
        {{{"action", "explain"}, {"text", "t"}, {"level", 1e300}, {"question", "no"}},
         {"t", std::nullopt, std::numeric_limits<Level>::max()},
         R"(window.ULVO.receiveResult({"followup":false,"id":null,"text":"answer to t"}))"},
    };
    for (const auto& [message, expected, reply] : cases) {
        SCOPED_TRACE(message.dump());
        requests.clear();
        host.scripts.clear();
        bridge->didReceiveScriptMessage(message);
        drain(); // each answered before the next is asked
        EXPECT_EQ(requests, std::vector<Request>{expected});
        EXPECT_EQ(host.scripts, std::vector<std::string>{reply});
    }
    // A failure reaches the page as its message.
    failAnswers = true;
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "t"}});
    drain();
    EXPECT_EQ(
        host.scripts.back(),
        R"(window.ULVO.receiveError({"id":null,"message":"The model could not answer.","modelMissing":false}))");

    // Blank or non-text selections are refused without asking the model; a body that is not an object
    // does nothing. Copy, close and the selection button are CardWindowTest's, through the real page.
    requests.clear();
    host.scripts.clear();
    for (const json& message : {json{{"action", "explain"}, {"text", "  \n "}},
                                json{{"action", "explain"}, {"text", 12}}, json("explain")}) {
        bridge->didReceiveScriptMessage(message);
    }
    drain();
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(host.scripts, std::vector<std::string>(2, R"(window.ULVO.receiveError({"id":null,"message":)"
                                                        R"("Select or paste some text first."}))"));
}

TEST_F(BridgeTest, OnlyTheLatestRequestsPartialTextAndAnswerReachThePage) {
    partialsToSend = {"Water boils"};
    auto bridge = makeBridge();
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "old"}, {"level", 40}, {"id", 1}});
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "new"}, {"level", 70}, {"id", 2}});
    drain(); // the replaced request's partials and answer arrive too, and are dropped
    EXPECT_EQ(host.scripts,
              (std::vector<std::string>{
                  R"(window.ULVO.receivePartial({"id":2,"text":"Water boils"}))",
                  R"(window.ULVO.receiveResult({"followup":false,"id":2,"text":"answer to new"}))"}));

    // Closing ends what is in flight; its answer never reaches the page.
    host.scripts.clear();
    bridge->didReceiveScriptMessage(
        {{"action", "followup"}, {"text", "new"}, {"question", "why?"}, {"id", 3}});
    bridge->cardClosed();
    drain();
    EXPECT_EQ(cancels, 1) << "the model is still busy with a closed card's request";
    EXPECT_EQ(host.scripts, std::vector<std::string>{R"(window.ULVO.cancelOpen({}))"});

    // Answers after the bridge is gone are dropped.
    host.scripts.clear();
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "t"}});
    bridge.reset();
    drain();
    EXPECT_TRUE(host.scripts.empty());
}

TEST_F(BridgeTest, PageLoadSendsTrustThenThePendingSelection) {
    auto bridge = makeBridge();
    const auto loaded = [&](bool shown = true) {
        host.scripts.clear();
        bridge->didFinishNavigation(shown);
        return host.scripts;
    };
    const std::string speech = R"(window.ULVO.setSpeech({"available":false}))";
    host.selection = "</script>";
    const std::string trust = R"(window.ULVO.setAccessibility({"trusted":false}))";
    const std::string selection = R"(window.ULVO.setSelection({"text":"<\/script>"}))";
    EXPECT_EQ(loaded(), (std::vector<std::string>{trust, speech, selection}));

    // A page made again after an idle spell gets the level last asked for, before the selection.
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "x"}, {"level", 70}, {"id", 1}});
    EXPECT_EQ(loaded(),
              (std::vector<std::string>{trust, speech, R"(window.ULVO.setLevel({"level":70}))", selection}));
    // Made ahead of a hidden card, it is not asked about the previous selection.
    EXPECT_EQ(loaded(false).size(), 3u);
}

// Reopening a kept entry without asking again is HistoryWindowTest's, on the real desktop.
TEST_F(BridgeTest, TheHistoryKeepsOnlyWhatReachedThePage) {
    auto bridge = makeBridge();
    std::vector<std::string> kept;
    bridge->setKeeper([&](const std::string& text, Level level, const std::optional<std::string>& question,
                          const std::string& answer) {
        kept.push_back(text + "|" + std::to_string(level) + "|" + question.value_or("-") + "|" + answer);
    });
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "old"}, {"level", 10}, {"id", 1}});
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "cells"}, {"level", 40}, {"id", 2}});
    drain(); // the first is superseded
    bridge->didReceiveScriptMessage(
        {{"action", "followup"}, {"text", "cells"}, {"level", 40}, {"question", "Why?"}, {"id", 3}});
    drain();
    failAnswers = true;
    bridge->didReceiveScriptMessage(
        {{"action", "followup"}, {"text", "cells"}, {"level", 40}, {"question", "How?"}, {"id", 4}});
    drain();
    EXPECT_EQ(kept,
              (std::vector<std::string>{"cells|40|-|answer to cells", "cells|40|Why?|answer to cells"}));
}

// ---- Geometry (origin bottom-left, y up) -------------------------------------------------------------
// The drag, key and press limits are CardWindowTest's, through real X events.

TEST(CardGeometry, PlacementNearThePointer) {
    const std::vector<Screen> screens{{{0, 0, 1920, 1080}, {0, 0, 1920, 1050}},
                                      {{1920, 0, 1280, 1024}, {1920, 0, 1280, 1024}}};
    // Right of the pointer, its top 28 % of its height above it.
    EXPECT_EQ(positionNearPointer(screens, 0, {500, 600}, 420, 720), (Point{518, 600 - 0.72 * 720}));
    // Off every screen: the main screen's frame bounds it.
    const auto off = positionNearPointer(screens, 0, {-100, -100}, 420, 720);
    EXPECT_EQ(off, (Point{12, 12}));
    // Larger than the visible frame: the top and right bounds win.
    const auto huge = positionNearPointer({{{0, 0, 400, 500}, {0, 0, 400, 500}}}, 0, {10, 10}, 420, 720);
    EXPECT_EQ(huge, (Point{400 - 420 - 12, 500 - 720 - 12}));
    EXPECT_FALSE(positionNearPointer({}, std::nullopt, {0, 0}, 420, 720));
}

} // namespace
} // namespace ulvo
