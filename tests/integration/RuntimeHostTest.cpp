// ulvo-runtime-host as a browser starts it: a child process on two pipes, configured through a scratch
// preferences file and the session's keyring, answering from a chat-completions peer on loopback.
#include "answer/Level.h"
#include "platform/linux/KeyFilePreferenceStore.h"
#include "platform/linux/LibsecretStore.h"
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

    test::ScratchFolder scratch;
    fs::path configHome = scratch.path();
    LoopbackServer server{[](const RecordedRequest& request) {
        const std::string user = json::parse(request.body)["messages"][1]["content"];
        // "Slow" outlasts every limit here.
        const auto delay = user == "Slow" ? 8s : 0ms;
        return CannedReply{200, test::chatReply(user + " explained."), "application/json", delay};
    }};
};

// Explanations, follow-ups and their partial frames reaching a page are the browser tests' part.
TEST_F(RuntimeHostTest, AnswersFramesHoweverTheBytesArriveAndRereadsTheProvider) {
    HostProcess host(configHome);
    // Two frames in one write, then one a byte at a time.
    host.send(nativeFrame(R"({"type": "explain", "text": "One", "id": "a"})") +
              nativeFrame(R"({"type": "availability", "id": 2.5})"));
    EXPECT_EQ(host.reply()["id"], "a");
    EXPECT_EQ(host.reply(),
              json::parse(R"({"id": 2.5, "type": "availability", "ok": true, "available": true,)"
                          R"( "provider": "custom", "providerName": "Custom OpenAI-compatible"})"));
    for (const char byte : nativeFrame(R"({"type": "explain", "text": "Three"})")) {
        host.send(std::string(1, byte));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(host.reply().contains("id")) << "no id asked, none given";

    // A keyless provider, chosen while the host runs, reads as the built-in model.
    KeyFilePreferenceStore store((configHome / "ulvo" / "preferences.ini").string());
    EXPECT_TRUE(
        (ModelPreferences{ModelProvider::openRouter, "https://openrouter.ai/api/v1", "m"}.save(store)));
    host.sendMessage({{"type", "availability"}});
    const json availability = host.reply();
    EXPECT_EQ(availability["provider"], "local");
    EXPECT_EQ(availability["available"], false) << "the staged runtime carries no model";
    host.expectCleanExit();
}

TEST_F(RuntimeHostTest, ANewRequestSupersedesTheOneStillStreaming) {
    server.setResponder([](const RecordedRequest& request) {
        const bool slow = request.body.find("Slowly") != std::string::npos;
        CannedReply reply{200, "", "text/event-stream"};
        reply.chunks = slow ? test::chatStream(std::vector<std::string>(30, "more "), 100ms)
                            : test::chatStream({"Quick", " answer."}, 30ms);
        return reply;
    });
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Slowly"}, {"id", 1}});
    EXPECT_TRUE(host.reply().contains("partial")) << "the first request is streaming";
    host.sendMessage({{"type", "explain"}, {"text", "Quickly"}, {"id", 2}});
    std::map<int, json> finals;
    while (!finals.contains(2)) {
        const json reply = host.reply();
        ASSERT_FALSE(reply.is_null()) << "the host stopped answering";
        if (!reply.contains("partial")) {
            finals.emplace(reply["id"].get<int>(), reply);
        }
    }
    EXPECT_EQ(finals[1]["superseded"], true) << "the replaced request's reply";
    EXPECT_EQ(finals[2]["answer"], "Quick answer.");
}

TEST_F(RuntimeHostTest, BadAndOversizedRequestsGetAnErrorReplyAndTheHostKeepsServing) {
    HostProcess host(configHome);
    for (const std::string payload : {
             "{\"type\": \"explain\", \"text\": \"\xed\xa0\x80\"}",
             R"(["explain", "text"])",
             R"({"id": 6, "type": "translate", "text": "x"})",
             R"({"id": 9, "type": "explain", "text": " \n "})",
             R"({"id": 11, "type": "followup", "text": "x", "question": null})",
         }) {
        host.send(nativeFrame(payload));
        const json reply = host.reply();
        EXPECT_EQ(reply["ok"], false) << payload;
        EXPECT_FALSE(reply["error"].get<std::string>().empty()) << payload;
    }
    EXPECT_TRUE(server.requests().empty()) << "nothing reached the provider";
    host.sendMessage({{"type", "explain"}, {"text", "Still here"}, {"level", 1e300}});
    EXPECT_EQ(host.reply()["level"], std::numeric_limits<Level>::max()) << "huge levels saturate";

    // A refused message's bytes are skipped, keeping the framing; a huge declared length is answered at once.
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

// A browser gone altogether leaves nobody to answer: the host exits without waiting for the provider.
TEST_F(RuntimeHostTest, TheHostEndsWithTheBrowserThoughAnAnswerIsDue) {
    HostProcess host(configHome);
    host.sendMessage({{"type", "explain"}, {"text", "Slow"}});
    ASSERT_TRUE(test::eventually([&] { return server.requests().size() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    host.closeInput();
    host.closeOutput();
    EXPECT_EQ(host.exitStatus(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the host waited for the provider";
}

} // namespace
} // namespace ulvo
