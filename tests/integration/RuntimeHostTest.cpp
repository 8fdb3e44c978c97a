// ulvo-runtime-host as a browser starts it: a child process on two pipes, configured through a scratch
// preferences file and the session's keyring, answering from a chat-completions peer on loopback.
#include "answer/Cleanup.h"
#include "answer/Prompts.h"
#include "platform/linux/KeyFilePreferenceStore.h"
#include "platform/linux/LibsecretStore.h"
#include "platform/linux/SystemLanguage.h"
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"
#include "tests/integration/NativeHostProcess.h"
#include "tests/support/Files.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <thread>

namespace ulvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using test::CannedReply;
using test::LoopbackServer;
using test::RecordedRequest;

// The browser tests store the same key: they may run at the same time in the same keyring.
constexpr const char* apiKey = "sk-ulvo-browser-test";
constexpr std::size_t oneMegabyte = std::size_t{1024} * 1024;
using test::nativeFrame;

// The host with test assertions: a missing or broken reply fails the test.
class HostProcess : public test::NativeHostProcess {
public:
    explicit HostProcess(const fs::path& configHome)
        : NativeHostProcess(ULVO_RUNTIME_HOST_LINK, configHome) {}
    void send(std::string_view bytes) { ASSERT_TRUE(write(bytes)); }
    void sendMessage(const json& message) { send(nativeFrame(message.dump())); }
    json reply(std::chrono::milliseconds limit = 15s) {
        std::optional<json> found = NativeHostProcess::reply(limit);
        EXPECT_TRUE(found) << "no whole JSON reply";
        return found.value_or(nullptr);
    }
    // The browser closes its end: the host ends cleanly, having written nothing but frames.
    void expectCleanExit() {
        closeInput();
        EXPECT_EQ(exitStatus(5s), 0);
        EXPECT_TRUE(outputEnded(5s));
    }
};

class RuntimeHostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        LibsecretStore keyring;
        EXPECT_TRUE(APIKeyStore(keyring).save(apiKey, ModelProvider::custom));
    }

    void SetUp() override {
        KeyFilePreferenceStore store((configHome / "ulvo" / "preferences.ini").string());
        EXPECT_TRUE(
            (ModelPreferences{ModelProvider::custom, server.baseURL() + "/v1", "browser-model"}.save(store)));
    }

    static std::string answerFor(const std::string& user) {
        return user.size() > 100 ? "A long text, answered." : "**" + user + "** explained - simply.";
    }
    json lastBody() const { return json::parse(server.requests().back().body); }

    test::ScratchFolder scratch;
    fs::path configHome = scratch.path();
    LoopbackServer server{[](const RecordedRequest& request) {
        const std::string user = json::parse(request.body)["messages"][1]["content"];
        // "Slow" outlasts every limit here; "Pending" is due shortly.
        const auto delay = user == "Slow" ? 8s : user == "Pending" ? 500ms : 0ms;
        return CannedReply{200, test::chatReply(answerFor(user)), "application/json", delay};
    }};
};

TEST_F(RuntimeHostTest, AnswersExplanationsFollowUpsAndAvailabilityOnOneConnection) {
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Photosynthesis"}, {"level", 70}, {"id", 1}});
    json reply = host.reply();
    EXPECT_EQ(reply, (json{{"id", 1},
                           {"type", "explain"},
                           {"ok", true},
                           {"level", 70},
                           {"answer", clean(answerFor("Photosynthesis"), 70)}}));
    json body = lastBody();
    EXPECT_EQ(server.requests().back().header("Authorization"), std::string("Bearer ") + apiKey);
    EXPECT_EQ(body["model"], "browser-model");
    EXPECT_EQ(body["messages"][0]["content"], systemPrompt(70, systemResponseLanguage()));

    host.sendMessage(
        {{"type", "followup"}, {"text", "Photosynthesis"}, {"question", "Why light?"}, {"id", "f"}});
    reply = host.reply();
    EXPECT_EQ(reply["id"], "f");
    EXPECT_EQ(reply["answer"], clean(answerFor("Why light?"), 25)) << "the card's level when none is given";
    body = lastBody();
    EXPECT_EQ(body["messages"][0]["content"], followupPrompt("Photosynthesis", 25, systemResponseLanguage()));

    host.sendMessage({{"type", "availability"}, {"id", 3.5}});
    EXPECT_EQ(host.reply(),
              json::parse(R"({"id": 3.5, "type": "availability", "ok": true, "available": true,)"
                          R"( "provider": "custom", "providerName": "Custom OpenAI-compatible"})"));
    host.sendMessage({{"type", "explain"}, {"text", "Once"}, {"level", 5}});
    EXPECT_EQ(
        host.reply(),
        (json{{"type", "explain"}, {"ok", true}, {"level", 5}, {"answer", clean(answerFor("Once"), 5)}}))
        << "no id asked, none given";

    // Two frames in one write, then one a byte at a time.
    host.send(nativeFrame(R"({"type": "explain", "text": "One", "id": 1})") +
              nativeFrame(R"({"type": "explain", "text": "Two", "id": 2})"));
    EXPECT_EQ(host.reply()["id"], 1);
    EXPECT_EQ(host.reply()["id"], 2);
    for (const char byte : nativeFrame(R"({"type": "explain", "text": "Three"})")) {
        host.send(std::string(1, byte));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(host.reply()["answer"], clean(answerFor("Three"), 25));
    host.expectCleanExit();
}

TEST_F(RuntimeHostTest, PartialFramesPrecedeTheFinalReplyAndANewRequestSupersedesTheOld) {
    server.setResponder([](const RecordedRequest& request) {
        const bool slow = request.body.find("Slowly") != std::string::npos;
        CannedReply reply{200, "", "text/event-stream"};
        reply.chunks = slow ? test::chatStream(std::vector<std::string>(30, "more "), 100ms)
                            : test::chatStream({"Quick", " answer."}, 30ms);
        return reply;
    });
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Slowly"}, {"level", 70}, {"id", 1}});
    EXPECT_EQ(host.reply(), (json{{"id", 1}, {"type", "explain"}, {"partial", true}, {"text", "more"}}));
    host.sendMessage({{"type", "explain"}, {"text", "Quickly"}, {"level", 70}, {"id", 2}});
    // Until request 2's final reply: the first partial and the final reply of each request.
    std::map<std::pair<int, bool>, json> first;
    while (!first.contains({2, false})) {
        const json reply = host.reply();
        ASSERT_FALSE(reply.is_null()) << "the host stopped answering";
        first.emplace(std::pair(reply["id"].get<int>(), reply.contains("partial")), reply);
    }
    EXPECT_EQ((first[{1, false}]["superseded"]), true) << "the replaced request's reply";
    EXPECT_EQ((first[{1, false}]["ok"]), false);
    EXPECT_EQ((first[{2, true}]["text"]), "Quick");
    EXPECT_EQ((first[{2, false}]["answer"]), "Quick answer.");
}

// A keyless provider, chosen while the host runs, reads as the built-in model, whose state the availability
// request reports. (A provider's failure reaching the page is the browser tests' part.)
TEST_F(RuntimeHostTest, AvailabilityOfAKeylessProviderIsTheBuiltInModelsState) {
    HostProcess host(configHome);
    KeyFilePreferenceStore store((configHome / "ulvo" / "preferences.ini").string());
    EXPECT_TRUE(
        (ModelPreferences{ModelProvider::openRouter, "https://openrouter.ai/api/v1", "m"}.save(store)));
    host.sendMessage({{"type", "availability"}});
    const json availability = host.reply();
    EXPECT_EQ(availability["provider"], "local");
    EXPECT_EQ(availability["available"], false) << "the staged runtime carries no model";
    EXPECT_FALSE(availability["error"].get<std::string>().empty());
}

TEST_F(RuntimeHostTest, BadRequestsGetAnErrorReplyAndTheHostKeepsServing) {
    HostProcess host(configHome);
    const std::vector<std::pair<std::string, std::string>> cases{
        {"{\"type\": \"explain\", \"text\": \"\xed\xa0\x80\"}",
         "The browser sent a message that is not valid JSON."},
        {R"(["explain", "text"])", "The browser sent a message that is not a request."},
        {R"({"id": 5, "type": 7, "text": "x"})", "The request has no type."},
        {R"({"id": 6, "type": "translate", "text": "x"})", "Unknown request type."},
        {R"({"id": 8, "type": "explain", "text": 42})", "The request has no text."},
        {R"({"id": 9, "type": "explain", "text": " \n "})", "Select some text first."},
        {R"({"id": 11, "type": "followup", "text": "x", "question": null})",
         "The follow-up has no question."},
        {R"({"id": 12, "type": "explain", "text": "x", "level": "high"})", "The level must be a number."},
    };
    for (const auto& [payload, message] : cases) {
        host.send(nativeFrame(payload));
        const json reply = host.reply();
        EXPECT_EQ(reply["ok"], false) << payload;
        EXPECT_EQ(reply["error"], message) << payload;
    }
    EXPECT_TRUE(server.requests().empty()) << "nothing reached the provider";
    host.sendMessage({{"type", "explain"}, {"text", "Still here"}, {"level", 1e300}});
    const json reply = host.reply();
    EXPECT_EQ(reply["answer"], clean(answerFor("Still here"), 100)) << "huge levels saturate";
    EXPECT_EQ(reply["level"], std::numeric_limits<Level>::max());
}

// A refused message's bytes are skipped, keeping the framing; a huge declared length is answered at once.
TEST_F(RuntimeHostTest, MessagesUpToOneMegabyteAreServedAndLargerOnesRefused) {
    HostProcess host(configHome);
    std::string largest = R"({"type": "explain", "text": ""})";
    largest.insert(largest.size() - 2, oneMegabyte - largest.size(), 'a');
    host.send(nativeFrame(largest));
    EXPECT_EQ(host.reply()["answer"], clean("A long text, answered.", 25));

    const json refused{{"ok", false}, {"error", "The message from the browser is larger than 1 MB."}};
    host.send(nativeFrame(json{{"type", "explain"}, {"text", std::string(oneMegabyte, 'b')}}.dump()));
    EXPECT_EQ(host.reply(), refused);
    host.sendMessage({{"type", "explain"}, {"text", "After"}, {"id", 3}});
    EXPECT_EQ(host.reply()["id"], 3);
    EXPECT_EQ(server.requests().size(), 2U);
    host.send(std::string(4, '\xff'));
    EXPECT_EQ(host.reply(3s), refused);
    host.expectCleanExit();
}

TEST_F(RuntimeHostTest, AFrameCutShortIsReportedAndEndsTheConnection) {
    const std::string whole = nativeFrame(R"({"type": "explain", "text": "x"})");
    for (const std::string& part : {whole.substr(0, 2), whole.substr(0, 10)}) {
        HostProcess host(configHome);
        host.send(part);
        host.closeInput();
        EXPECT_EQ(host.reply(5s),
                  (json{{"ok", false}, {"error", "The message from the browser was cut short."}}));
        host.expectCleanExit();
    }
    EXPECT_TRUE(server.requests().empty());
}

// A browser that closed only its writing side still reads its answer; one gone altogether leaves nobody to
// answer, so the host exits without waiting for the provider.
TEST_F(RuntimeHostTest, AnswersDueAreDeliveredUnlessTheBrowserWentAwayAltogether) {
    {
        HostProcess host(configHome);
        host.sendMessage({{"type", "explain"}, {"text", "Pending"}, {"id", 1}});
        host.closeInput();
        EXPECT_EQ(host.reply(10s)["answer"], clean(answerFor("Pending"), 25));
        EXPECT_EQ(host.exitStatus(5s), 0);
    }
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Slow"}});
    ASSERT_TRUE(test::eventually([&] { return server.requests().size() == 2; }));
    const auto start = std::chrono::steady_clock::now();
    host.closeInput();
    host.closeOutput();
    EXPECT_EQ(host.exitStatus(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the host waited for the provider";
}

} // namespace
} // namespace ulvo
