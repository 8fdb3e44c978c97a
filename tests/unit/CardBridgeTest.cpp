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

TEST(CardScript, HostileTextsStayOneInertLiteral) {
    const auto literal = [](const std::string& script) {
        EXPECT_EQ(script.rfind("window.ULVO.setSelection(", 0), 0u);
        EXPECT_EQ(script.back(), ')');
        return json::parse(script.substr(25, script.size() - 26)).at("text").get<std::string>();
    };
    for (const std::string& text : std::initializer_list<std::string>{
             "say \"hi\" and 'bye'", "back\\slash \\\" \\n \\u0041",
             "</script><script>window.pwned=1</script>", "line\u2028separator\u2029paragraph",
             "emoji 🧪 and 日本語 and \u00e9", std::string("nul\0byte", 8)}) {
        const std::string script = cardCallScript("setSelection", {{"text", text}});
        SCOPED_TRACE(script);
        EXPECT_EQ(script.find("</"), std::string::npos);
        for (unsigned char c : script) {
            ASSERT_LT(c, 0x80); // everything beyond ASCII, U+2028 and U+2029 among it, is escaped
        }
        EXPECT_EQ(literal(script), text);
    }
    // Invalid UTF-8 becomes replacement characters instead of breaking the script.
    EXPECT_EQ(literal(cardCallScript("setSelection", {{"text", "ok \xff\xc3 end"}})), "ok \uFFFD\uFFFD end");
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
        return std::make_unique<CardBridge>(
            host,
            CardAnswers{explain, [this] { ++cancels; }, [this](Level level) { prepared.push_back(level); }},
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
    std::vector<Level> prepared;

private:
    std::vector<std::function<void()>> pending_;
};

TEST_F(BridgeTest, RequestsCarryTheTextUntrimmedTheLevelAndOnlyAStringQuestion) {
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
        {{{"action", "followup"}, {"text", "t"}, {"level", 80}, {"question", 7}},
         {"t", std::nullopt, 80},
         R"(window.ULVO.receiveResult({"followup":false,"id":null,"text":"answer to t"}))"},
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
}

TEST_F(BridgeTest, OnlyTheLatestRequestsPartialTextAndAnswerReachThePage) {
    partialsToSend = {"Wa", "Water boils"};
    auto bridge = makeBridge();
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "old"}, {"level", 40}, {"id", 1}});
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "new"}, {"level", 70}, {"id", 2}});
    drain(); // the replaced request's partials and answer arrive too, and are dropped
    EXPECT_EQ(host.scripts,
              (std::vector<std::string>{
                  R"(window.ULVO.receivePartial({"id":2,"text":"Wa"}))",
                  R"(window.ULVO.receivePartial({"id":2,"text":"Water boils"}))",
                  R"(window.ULVO.receiveResult({"followup":false,"id":2,"text":"answer to new"}))"}));

    // Closing ends what is in flight; its answer never reaches the page. Opening readies the last level.
    host.scripts.clear();
    bridge->didReceiveScriptMessage(
        {{"action", "followup"}, {"text", "new"}, {"question", "why?"}, {"id", 3}});
    bridge->cardClosed();
    drain();
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(host.scripts, std::vector<std::string>{R"(window.ULVO.cancelOpen({}))"});
    bridge->cardOpened();
    EXPECT_EQ(prepared, std::vector<Level>{25}) << "the follow-up's level, the default";

    // Answers after the bridge is gone are dropped.
    host.scripts.clear();
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "t"}});
    bridge.reset();
    drain();
    EXPECT_TRUE(host.scripts.empty());
}

TEST_F(BridgeTest, BlankTextIsRefusedOtherActionsReachTheHostAndMalformedBodiesNothing) {
    auto bridge = makeBridge();
    for (const json& message : {json{{"action", "explain"}, {"text", "  \n "}, {"level", 40}},
                                json{{"action", "followup"}, {"level", 40}, {"question", "why?"}},
                                json{{"action", "explain"}, {"text", 12}}, json{{"action", "copy"}},
                                json{{"action", "copy"}, {"text", "copied"}}, json{{"action", "close"}},
                                json{{"action", "request-selection"}}, json("explain"), json::object(),
                                json({{"action", 3}}), json({{"action", "open"}})}) {
        bridge->didReceiveScriptMessage(message);
    }
    drain();
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(host.scripts, std::vector<std::string>(3, R"(window.ULVO.receiveError({"id":null,"message":)"
                                                        R"("Select or paste some text first."}))"));
    EXPECT_EQ(host.copies, (std::vector<std::string>{"", "copied"}));
    EXPECT_EQ(host.hides, 1);
    EXPECT_EQ(host.captures, 1);
}

TEST_F(BridgeTest, PageLoadSendsTrustThenThePendingSelection) {
    auto bridge = makeBridge();
    const auto loaded = [&](bool shown = true) {
        host.scripts.clear();
        bridge->didFinishNavigation(shown);
        return host.scripts;
    };
    const std::string speech = R"(window.ULVO.setSpeech({"available":false}))";
    EXPECT_EQ(loaded(),
              (std::vector<std::string>{R"(window.ULVO.setAccessibility({"trusted":false}))", speech}));
    host.trusted = true;
    host.selection = "</script>";
    const std::string trusted = R"(window.ULVO.setAccessibility({"trusted":true}))";
    const std::string selection = R"(window.ULVO.setSelection({"text":"<\/script>"}))";
    EXPECT_EQ(loaded(), (std::vector<std::string>{trusted, speech, selection}));

    // A page made again after an idle spell gets the level last asked for, before the selection.
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "x"}, {"level", 70}, {"id", 1}});
    EXPECT_EQ(loaded(), (std::vector<std::string>{trusted, speech, R"(window.ULVO.setLevel({"level":70}))",
                                                  selection}));
    // Made ahead of a hidden card, it is not asked about the previous selection.
    EXPECT_EQ(loaded(false).size(), 3u);
}

TEST(CardHistoryTest, KeepsWhatReachedThePageAndShowsAKeptEntryWithoutAsking) {
    test::RecordingCardHost host;
    host.selection = "the selection";
    std::vector<std::function<void(ExplainResult)>> completions;
    CardAnswers answers;
    answers.explain = [&](std::string, std::optional<std::string>, Level,
                          std::function<void(ExplainResult)> done, std::function<void(const std::string&)>) {
        completions.push_back(std::move(done));
    };
    std::vector<std::string> kept;
    CardBridge bridge(host, answers, [](std::function<void()> task) { task(); });
    bridge.setKeeper([&](const std::string& text, Level level, const std::optional<std::string>& question,
                         const std::string& answer) {
        kept.push_back(text + "|" + std::to_string(level) + "|" + question.value_or("-") + "|" + answer);
    });
    const auto ask = [&](nlohmann::json message) { bridge.didReceiveScriptMessage(message); };
    ask({{"action", "explain"}, {"text", "old"}, {"level", 10}, {"id", 1}});
    ask({{"action", "explain"}, {"text", "cells"}, {"level", 40}, {"id", 2}});
    completions[0](ExplainResult::success("superseded answer"));
    completions[1](ExplainResult::success("Cells are small."));
    ask({{"action", "followup"}, {"text", "cells"}, {"level", 40}, {"question", "How small?"}, {"id", 3}});
    completions[2](ExplainResult::failure(std::make_exception_ptr(std::runtime_error("offline"))));
    ask({{"action", "followup"}, {"text", "cells"}, {"level", 40}, {"question", "Why?"}, {"id", 4}});
    completions[3](ExplainResult::success("Because."));
    EXPECT_EQ(kept, (std::vector<std::string>{"cells|40|-|Cells are small.", "cells|40|Why?|Because."}));

    host.scripts.clear();
    bridge.showStored({{"selection", "kept text"}, {"answer", "kept answer"}});
    bridge.didFinishNavigation();
    EXPECT_EQ(completions.size(), 4U);
    ASSERT_FALSE(host.scripts.empty());
    EXPECT_NE(host.scripts.back().find("showStored"), std::string::npos);
    bridge.forgetStored();
    bridge.sendSelection();
    EXPECT_NE(host.scripts.back().find("setSelection"), std::string::npos);
}

// ---- Geometry (origin bottom-left, y up) -------------------------------------------------------------

TEST(CardGeometry, DragKeysAndPressClampWithTheTopFixed) {
    const Rect start{100, 200, 420, 720};
    EXPECT_EQ(draggedFrame(start, {500, 300}, {1000, -200}, cardLimits), (Rect{100, 920 - 1000, 720, 1000}));
    EXPECT_EQ(draggedFrame(start, {500, 300}, {-5000, 5000}, cardLimits), (Rect{100, 920 - 540, 340, 540}));
    const Point left = arrowResizeDelta(ArrowKey::left);
    EXPECT_EQ(resizedFrame({0, 0, 350, 600}, left.x, left.y, cardLimits), (Rect{0, 0, 340, 600}));
    const Point up = arrowResizeDelta(ArrowKey::up);
    EXPECT_EQ(resizedFrame({10, 100, 420, 720}, up.x, up.y, cardLimits), (Rect{10, 80, 420, 740}));
    const Point down = arrowResizeDelta(ArrowKey::down);
    EXPECT_EQ(resizedFrame({10, 100, 420, 720}, down.x, down.y, cardLimits), (Rect{10, 120, 420, 700}));
    EXPECT_EQ(resizedFrame({0, 0, 700, 990}, resizePressStep, resizePressStep, cardLimits),
              (Rect{0, -10, 720, 1000}));
}

TEST(CardGeometry, PlacementNearThePointer) {
    const std::vector<Screen> screens{{{0, 0, 1920, 1080}, {0, 0, 1920, 1050}},
                                      {{1920, 0, 1280, 1024}, {1920, 0, 1280, 1024}}};
    // Right of the pointer, its top 28 % of its height above it.
    EXPECT_EQ(positionNearPointer(screens, 0, {500, 600}, 420, 720), (Point{518, 600 - 0.72 * 720}));
    // At the far right of the second screen: 12 points inside its visible frame.
    const auto right = positionNearPointer(screens, 0, {3199, 500}, 420, 720);
    ASSERT_TRUE(right);
    EXPECT_EQ(right->x + 420, 3200 - 12);
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
