// The card page protocol, script encoding and geometry rules, without a desktop.
#include "card/CardBridge.h"
#include "answer/ModelFailure.h"
#include "base/Text.h"
#include "card/CardGeometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

namespace ulvo {
namespace {

using nlohmann::json;

// ---- Script encoding -------------------------------------------------------------------------------

const std::vector<std::string>& hostileTexts() {
    static const std::vector<std::string> texts = {
        "say \"hi\" and 'bye'",
        "back\\slash \\\" \\n \\u0041",
        "</script><script>window.pwned=1</script>",
        "line\u2028separator\u2029paragraph",
        "emoji 🧪 and 日本語 and \u00e9",
        "); window.pwned=1; (",
        std::string("nul\0byte", 8),
        "<!-- comment --> ]]> ${template}",
    };
    return texts;
}

TEST(CardScript, HostileTextsStayOneInertLiteral) {
    for (const std::string& text : hostileTexts()) {
        const std::string script = cardCallScript("setSelection", {{"text", text}});
        ASSERT_EQ(script.rfind("window.ULVO.setSelection(", 0), 0u);
        ASSERT_EQ(script.back(), ')');
        const std::string literal = script.substr(25, script.size() - 26);
        EXPECT_EQ(script.find("</"), std::string::npos) << script;
        EXPECT_EQ(script.find("\u2028"), std::string::npos) << script;
        EXPECT_EQ(script.find("\u2029"), std::string::npos) << script;
        for (unsigned char c : script) {
            EXPECT_LT(c, 0x80) << script; // everything beyond ASCII is escaped
        }
        EXPECT_EQ(json::parse(literal).at("text").get<std::string>(), text);
    }
    // Invalid UTF-8 becomes replacement characters instead of breaking the script.
    const std::string script = cardCallScript("setSelection", {{"text", std::string("ok \xff\xc3 end")}});
    EXPECT_EQ(json::parse(script.substr(25, script.size() - 26)).at("text"), "ok \uFFFD\uFFFD end");
}

// ---- Bridge --------------------------------------------------------------------------------------

class RecordingHost : public CardHost {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    void hidePanel() override { ++hides; }
    void copyText(const std::string& text) override { copies.push_back(text); }
    void captureSelectionAndShow() override { ++captures; }
    bool accessibilityTrusted() override { return trusted; }
    const std::string& pendingSelection() const override { return selection; }

    std::vector<std::string> scripts;
    std::vector<std::string> copies;
    int hides = 0;
    int captures = 0;
    bool trusted = false;
    std::string selection;
};

struct Request {
    std::string text;
    std::optional<std::string> question;
    Level level;
};

// Answers on a thread other than the test's, one at a time in order like the model queue, and hops
// back through a queue the test drains.
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
        auto post = [this](std::function<void()> task) {
            std::lock_guard lock(mutex_);
            posted_.push_back(std::move(task));
        };
        return std::make_unique<CardBridge>(
            host,
            CardAnswers{explain, [this] { ++cancels; }, [this](Level level) { prepared.push_back(level); }},
            post);
    }

    // Completes the answers on a worker thread, then runs their main-thread halves.
    void drain() {
        std::thread worker([this] {
            for (auto& complete : pending_) {
                complete();
            }
        });
        worker.join();
        pending_.clear();
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.swap(posted_);
        }
        for (auto& task : tasks) {
            task();
        }
    }

    RecordingHost host;
    std::vector<Request> requests;
    bool failAnswers = false;
    std::vector<std::string> partialsToSend;
    int cancels = 0;
    std::vector<Level> prepared;

private:
    std::vector<std::function<void()>> pending_;
    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
};

TEST_F(BridgeTest, BlankTextGetsOneErrorAndNoRequest) {
    auto bridge = makeBridge();
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "  \n "}, {"level", 40}});
    bridge->didReceiveScriptMessage({{"action", "followup"}, {"level", 40}, {"question", "why?"}});
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", 12}});
    drain();
    EXPECT_TRUE(requests.empty());
    const std::string error =
        R"(window.ULVO.receiveError({"id":null,"message":"Select or paste some text first."}))";
    EXPECT_EQ(host.scripts, std::vector<std::string>(3, error));
}

TEST_F(BridgeTest, FollowupCarriesTheQuestionOnlyWhenItIsAString) {
    auto bridge = makeBridge();
    for (const json& message :
         {json{{"action", "followup"}, {"text", "t"}, {"level", 80}},
          json{{"action", "followup"}, {"text", "t"}, {"level", 80}, {"question", "why?"}},
          json{{"action", "followup"}, {"text", "t"}, {"level", 80}, {"question", 7}},
          json{{"action", "explain"}, {"text", "t"}, {"level", 80.5}, {"question", "no"}}}) {
        bridge->didReceiveScriptMessage(message);
        drain(); // each answered before the next is asked
    }
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_FALSE(requests[0].question);
    EXPECT_EQ(requests[1].question, "why?");
    EXPECT_FALSE(requests[2].question);
    EXPECT_FALSE(requests[3].question);
    EXPECT_EQ(requests[3].level, 80);
    ASSERT_EQ(host.scripts.size(), 4u);
    EXPECT_NE(host.scripts[0].find(R"("followup":false)"), std::string::npos);
    EXPECT_NE(host.scripts[1].find(R"("followup":true)"), std::string::npos);
    EXPECT_NE(host.scripts[2].find(R"("followup":false)"), std::string::npos);
}

TEST_F(BridgeTest, TextGoesUntrimmedAtTheDefaultLevelAndFailuresReachThePageAsTheirMessage) {
    auto bridge = makeBridge();
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "  word  "}, {"id", 7}});
    drain();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].text, "  word  ");
    EXPECT_EQ(requests[0].level, 25);
    EXPECT_FALSE(requests[0].question);
    EXPECT_EQ(host.scripts.back(),
              R"(window.ULVO.receiveResult({"followup":false,"id":7,"text":"answer to   word  "}))");

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
}

TEST_F(BridgeTest, AnswersAfterTheBridgeIsGoneAreDropped) {
    auto bridge = makeBridge();
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "t"}});
    bridge.reset();
    drain();
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_TRUE(host.scripts.empty());
}

TEST_F(BridgeTest, OtherActionsAndMalformedBodies) {
    auto bridge = makeBridge();
    bridge->didReceiveScriptMessage({{"action", "copy"}});
    bridge->didReceiveScriptMessage({{"action", "copy"}, {"text", "copied"}});
    bridge->didReceiveScriptMessage({{"action", "close"}});
    bridge->didReceiveScriptMessage({{"action", "request-selection"}});
    for (const json& ignored :
         {json("explain"), json::object(), json({{"action", 3}}), json({{"action", "open"}}),
          json::array({"explain"}), json({{"Action", "close"}})}) {
        bridge->didReceiveScriptMessage(ignored);
    }
    drain();
    EXPECT_EQ(host.copies, (std::vector<std::string>{"", "copied"}));
    EXPECT_EQ(host.hides, 1);
    EXPECT_EQ(host.captures, 1);
    EXPECT_TRUE(host.scripts.empty());
    EXPECT_TRUE(requests.empty());
}

TEST_F(BridgeTest, PageLoadSendsTrustThenThePendingSelection) {
    auto bridge = makeBridge();
    bridge->didFinishNavigation();
    EXPECT_EQ(host.scripts, (std::vector<std::string>{R"(window.ULVO.setAccessibility({"trusted":false}))",
                                                      R"(window.ULVO.setSpeech({"available":false}))"}));
    host.scripts.clear();
    host.trusted = true;
    host.selection = "</script>";
    bridge->didFinishNavigation();
    EXPECT_EQ(host.scripts, (std::vector<std::string>{R"(window.ULVO.setAccessibility({"trusted":true}))",
                                                      R"(window.ULVO.setSpeech({"available":false}))",
                                                      R"(window.ULVO.setSelection({"text":"<\/script>"}))"}));

    // A page made again after an idle spell gets the level last asked for, before the selection.
    bridge->didReceiveScriptMessage({{"action", "explain"}, {"text", "x"}, {"level", 70}, {"id", 1}});
    host.scripts.clear();
    bridge->didFinishNavigation();
    EXPECT_EQ(host.scripts, (std::vector<std::string>{R"(window.ULVO.setAccessibility({"trusted":true}))",
                                                      R"(window.ULVO.setSpeech({"available":false}))",
                                                      R"(window.ULVO.setLevel({"level":70}))",
                                                      R"(window.ULVO.setSelection({"text":"<\/script>"}))"}));
    // Made ahead of a hidden card, it is not asked about the previous selection.
    host.scripts.clear();
    bridge->didFinishNavigation(false);
    EXPECT_EQ(host.scripts.size(), 3u);
    EXPECT_EQ(host.scripts.back().find("setSelection"), std::string::npos);
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
