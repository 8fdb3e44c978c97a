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
#include "tests/support/LoopbackServer.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <thread>
#include <unistd.h>

namespace ulvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using test::CannedReply;
using test::chatReply;
using test::LoopbackServer;
using test::RecordedRequest;

// The browser tests store the same key: they may run at the same time in the same keyring.
constexpr const char* apiKey = "sk-ulvo-browser-test";
constexpr std::uint32_t oneMegabyte = 1024 * 1024;

std::string frame(std::string_view payload, std::optional<std::uint32_t> declared = std::nullopt) {
    return test::nativeFrame(payload, declared);
}

// The host with test assertions: a missing or broken reply fails the test.
class HostProcess : public test::NativeHostProcess {
public:
    explicit HostProcess(const fs::path& configHome)
        : NativeHostProcess(ULVO_RUNTIME_HOST_LINK, configHome) {}
    void send(std::string_view bytes) { ASSERT_TRUE(NativeHostProcess::send(bytes)); }
    void sendMessage(const json& message) { send(frame(message.dump())); }
    json reply(std::chrono::milliseconds limit = 15s) {
        std::optional<json> found = NativeHostProcess::reply(limit);
        if (!found) {
            ADD_FAILURE() << "no whole JSON reply";
            return nullptr;
        }
        return *found;
    }
    bool outputEnded() { return NativeHostProcess::outputEnded(5s); }
};

class RuntimeHostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        LibsecretStore keyring;
        EXPECT_TRUE(APIKeyStore(keyring).save(apiKey, ModelProvider::custom));
    }

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ulvo-host.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        configHome = pattern;
        server = std::make_unique<LoopbackServer>([this](const RecordedRequest& request) {
            const json body = json::parse(request.body);
            const std::string user = body["messages"][1]["content"];
            return CannedReply{200, chatReply(answerFor(user)), "application/json", delay};
        });
        KeyFilePreferenceStore store((configHome / "ulvo" / "preferences.ini").string());
        EXPECT_TRUE((
            ModelPreferences{ModelProvider::custom, server->baseURL() + "/v1", "browser-model"}.save(store)));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(configHome, ignored);
    }

    std::string answerFor(const std::string& user) const {
        return user.size() > 100 ? "A long text, answered." : "**" + user + "** explained - simply.";
    }
    json lastBody() const { return json::parse(server->requests().back().body); }

    fs::path configHome;
    std::unique_ptr<LoopbackServer> server;
    std::chrono::milliseconds delay{0};
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
    EXPECT_EQ(server->requests().back().header("Authorization"), std::string("Bearer ") + apiKey);
    EXPECT_EQ(body["model"], "browser-model");
    EXPECT_EQ(body["messages"][0]["content"], systemPrompt(70, systemResponseLanguage()));

    host.sendMessage(
        {{"type", "followup"}, {"text", "Photosynthesis"}, {"question", "Why light?"}, {"id", "f"}});
    reply = host.reply();
    EXPECT_EQ(reply["id"], "f");
    EXPECT_EQ(reply["answer"], clean(answerFor("Why light?"), 25)) << "the card's level when none is given";
    body = lastBody();
    EXPECT_EQ(body["messages"][0]["content"], followupPrompt("Photosynthesis", 25, systemResponseLanguage()));
    EXPECT_EQ(body["messages"][1]["content"], "Why light?");

    host.sendMessage({{"type", "availability"}, {"id", 3.5}});
    EXPECT_EQ(host.reply(), (json{{"id", 3.5},
                                  {"type", "availability"},
                                  {"ok", true},
                                  {"available", true},
                                  {"provider", "custom"},
                                  {"providerName", "Custom OpenAI-compatible"}}));
    host.closeInput();
    EXPECT_EQ(host.exitStatus(5s), 0);
    EXPECT_TRUE(host.outputEnded()) << "nothing but frames on stdout";
}

TEST_F(RuntimeHostTest, PartialFramesPrecedeTheFinalReplyAndANewRequestSupersedesTheOld) {
    server->setResponder([](const RecordedRequest& request) {
        const bool slow = request.body.find("Slowly") != std::string::npos;
        CannedReply reply{200, "", "text/event-stream"};
        reply.chunks = slow ? test::chatStream(std::vector<std::string>(30, "more "), 100ms)
                            : test::chatStream({"Quick", " answer."}, 30ms);
        return reply;
    });
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Slowly"}, {"level", 70}, {"id", 1}});
    json reply = host.reply();
    EXPECT_EQ(reply, (json{{"id", 1}, {"type", "explain"}, {"partial", true}, {"text", "more"}}));
    host.sendMessage({{"type", "explain"}, {"text", "Quickly"}, {"level", 70}, {"id", 2}});
    std::vector<json> replies;
    while (replies.empty() || replies.back().contains("partial") || replies.back()["id"] != 2) {
        replies.push_back(host.reply());
        ASSERT_FALSE(replies.back().is_null()) << "the host stopped answering";
    }
    const auto final = [&](int id) {
        return std::find_if(replies.begin(), replies.end(),
                            [id](const json& r) { return r["id"] == id && !r.contains("partial"); });
    };
    ASSERT_NE(final(1), replies.end()) << "the replaced request got no reply";
    EXPECT_EQ((*final(1))["superseded"], true);
    EXPECT_EQ((*final(1))["ok"], false);
    EXPECT_EQ((*final(2))["answer"], "Quick answer.");
    const bool partialOfTwo = std::any_of(replies.begin(), replies.end(), [](const json& r) {
        return r["id"] == 2 && r.contains("partial") && r["text"] == "Quick";
    });
    EXPECT_TRUE(partialOfTwo);
}

TEST_F(RuntimeHostTest, OneHostPerMessageAnswersAndExitsWhenTheBrowserCloses) {
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Once"}, {"level", 5}});
    const json reply = host.reply();
    EXPECT_EQ(reply["answer"], clean(answerFor("Once"), 5));
    EXPECT_FALSE(reply.contains("id"));
    host.closeInput();
    EXPECT_EQ(host.exitStatus(5s), 0);
}

TEST_F(RuntimeHostTest, ProviderFailuresReachTheBrowserAsTheUsersMessage) {
    server->setResponder([](const RecordedRequest&) { return CannedReply{500, R"({"error":"down"})"}; });
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Anything"}, {"id", 9}});
    EXPECT_EQ(host.reply(),
              (json{{"id", 9},
                    {"type", "explain"},
                    {"ok", false},
                    {"level", 25},
                    {"error",
                     "The provider has a problem right now. Try again later. (The provider says: down)"}}));

    // A keyless provider reads as the built-in model, whose state the availability request reports.
    KeyFilePreferenceStore store((configHome / "ulvo" / "preferences.ini").string());
    EXPECT_TRUE(
        (ModelPreferences{ModelProvider::openRouter, "https://openrouter.ai/api/v1", "m"}.save(store)));
    host.sendMessage({{"type", "availability"}});
    const json availability = host.reply();
    EXPECT_EQ(availability["provider"], "local");
    EXPECT_EQ(availability["available"], false) << "the staged runtime carries no model";
    EXPECT_FALSE(availability["error"].get<std::string>().empty());
}

TEST_F(RuntimeHostTest, FramesAreReadWhateverWayTheBytesArrive) {
    HostProcess host(configHome);
    const std::string first = frame(json{{"type", "explain"}, {"text", "One"}, {"id", 1}}.dump());
    const std::string second = frame(json{{"type", "explain"}, {"text", "Two"}, {"id", 2}}.dump());
    host.send(first + second);
    EXPECT_EQ(host.reply()["id"], 1);
    EXPECT_EQ(host.reply()["id"], 2);
    for (const char byte : frame(json{{"type", "explain"}, {"text", "Three"}, {"id", 3}}.dump())) {
        host.send(std::string(1, byte));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(host.reply()["answer"], clean(answerFor("Three"), 25));
}

TEST_F(RuntimeHostTest, BadRequestsGetAnErrorReplyAndTheHostKeepsServing) {
    HostProcess host(configHome);
    const std::vector<std::pair<std::string, std::string>> cases{
        {"", "The browser sent a message that is not valid JSON."},
        {"{\"type\": \"explain\", \"text\": ", "The browser sent a message that is not valid JSON."},
        {"{\"type\": \"explain\", \"text\": \"caf\xe9\"}",
         "The browser sent a message that is not valid JSON."},
        {"{\"type\": \"explain\", \"text\": \"\xed\xa0\x80\"}",
         "The browser sent a message that is not valid JSON."},
        {R"(["explain", "text"])", "The browser sent a message that is not a request."},
        {R"({"id": 4, "text": "x"})", "The request has no type."},
        {R"({"id": 5, "type": 7, "text": "x"})", "The request has no type."},
        {R"({"id": 6, "type": "translate", "text": "x"})", "Unknown request type."},
        {R"({"id": 7, "type": "explain"})", "The request has no text."},
        {R"({"id": 8, "type": "explain", "text": 42})", "The request has no text."},
        {R"({"id": 9, "type": "explain", "text": " \n "})", "Select some text first."},
        {R"({"id": 10, "type": "followup", "text": "x"})", "The follow-up has no question."},
        {R"({"id": 11, "type": "followup", "text": "x", "question": null})",
         "The follow-up has no question."},
        {R"({"id": 12, "type": "explain", "text": "x", "level": "high"})", "The level must be a number."},
    };
    for (const auto& [payload, message] : cases) {
        host.send(frame(payload));
        const json reply = host.reply();
        EXPECT_EQ(reply["ok"], false) << payload;
        EXPECT_EQ(reply["error"], message) << payload;
    }
    EXPECT_TRUE(server->requests().empty()) << "nothing reached the provider";
    host.sendMessage({{"type", "explain"}, {"text", "Still here"}, {"level", 1e300}});
    const json reply = host.reply();
    EXPECT_EQ(reply["answer"], clean(answerFor("Still here"), 100)) << "huge levels saturate";
    EXPECT_EQ(reply["level"], std::numeric_limits<Level>::max());
}

TEST_F(RuntimeHostTest, MessagesUpToOneMegabyteAreServedAndLargerOnesRefused) {
    HostProcess host(configHome);
    const std::string envelope = json{{"type", "explain"}, {"text", ""}, {"id", 1}}.dump();
    const std::string largest = json{
        {"type", "explain"},
        {"text", std::string(oneMegabyte - envelope.size(), 'a')},
        {"id", 1}}.dump();
    ASSERT_EQ(largest.size(), oneMegabyte);
    host.send(frame(largest));
    EXPECT_EQ(host.reply()["answer"], clean("A long text, answered.", 25));

    const std::string tooLarge =
        json{{"type", "explain"}, {"text", std::string(oneMegabyte, 'b')}, {"id", 2}}.dump();
    host.send(frame(tooLarge));
    const json refused = host.reply();
    EXPECT_EQ(refused, (json{{"ok", false}, {"error", "The message from the browser is larger than 1 MB."}}));
    host.sendMessage({{"type", "explain"}, {"text", "After"}, {"id", 3}});
    EXPECT_EQ(host.reply()["id"], 3) << "the oversized message's bytes were skipped, the framing kept";
    EXPECT_EQ(server->requests().size(), 2U);
}

TEST_F(RuntimeHostTest, AHugeDeclaredLengthIsAnsweredAtOnceWithoutWaitingForTheBytes) {
    HostProcess host(configHome);
    host.send(frame("", 0xFFFFFFFFU));
    EXPECT_EQ(host.reply(3s)["error"], "The message from the browser is larger than 1 MB.");
    host.closeInput();
    EXPECT_EQ(host.exitStatus(5s), 0);
}

// A stream longer than any frame may be: partial frames all along, never an error frame, and the final
// reply is the capped answer with its note.
TEST_F(RuntimeHostTest, AStreamOverOneMegabyteEndsInTheCappedAnswer) {
    server->setResponder([](const RecordedRequest&) {
        CannedReply reply{200, "", "text/event-stream"};
        reply.chunks = test::chatStream(std::vector<std::string>(2000, std::string(600, 'a') + ". "), 0ms);
        return reply;
    });
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Long"}, {"level", 100}, {"id", 1}});
    json reply;
    do {
        reply = host.reply(60s);
        ASSERT_FALSE(reply.is_null()) << "the host stopped answering";
        ASSERT_FALSE(reply.contains("error")) << reply["error"];
    } while (reply.contains("partial"));
    EXPECT_EQ(reply["ok"], true);
    const std::string answer = reply["answer"];
    EXPECT_LT(answer.size(), std::size_t{70} * 1024);
    EXPECT_NE(answer.find("(Cut short: the answer was longer than 64 KB.)"), std::string::npos);
}

TEST_F(RuntimeHostTest, AFrameCutShortIsReportedAndEndsTheConnection) {
    const std::string whole = frame(json{{"type", "explain"}, {"text", "x"}}.dump());
    for (const std::string& part : {whole.substr(0, 2), whole.substr(0, 10)}) {
        HostProcess host(configHome);
        host.send(part);
        host.closeInput();
        EXPECT_EQ(host.reply(5s),
                  (json{{"ok", false}, {"error", "The message from the browser was cut short."}}));
        EXPECT_EQ(host.exitStatus(5s), 0);
        EXPECT_TRUE(host.outputEnded());
    }
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(RuntimeHostTest, ExitsPromptlyWhenTheBrowserGoesAwayMidAnswer) {
    delay = 8s;
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Slow"}});
    ASSERT_TRUE(test::eventually([&] { return !server->requests().empty(); }));
    const auto start = std::chrono::steady_clock::now();
    host.closeInput();
    host.closeOutput();
    EXPECT_EQ(host.exitStatus(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the host waited for the provider";
}

TEST_F(RuntimeHostTest, AnswersDueWhenOnlyTheWritingSideClosesAreStillDelivered) {
    delay = 500ms;
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Pending"}, {"id", 1}});
    host.closeInput();
    EXPECT_EQ(host.reply(10s)["answer"], clean(answerFor("Pending"), 25));
    EXPECT_EQ(host.exitStatus(5s), 0);
}

} // namespace
} // namespace ulvo
