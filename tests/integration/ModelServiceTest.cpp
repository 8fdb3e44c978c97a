// The answer service against a real HTTP server on loopback, through the real libcurl transport.
#include "answer/ModelService.h"
#include "answer/ChatRequest.h"
#include "answer/ModelFailure.h"
#include "answer/Prompts.h"
#include "platform/linux/CurlTransport.h"
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"
#include "tests/support/FakeStores.h"
#include "tests/support/LocalOnlyService.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ProcessMemory.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <fstream>
#include <future>

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using test::CannedReply;
using test::chatDelta;
using test::chatReply;
using test::chatStream;
using test::Chunk;
using test::explainNow;
using test::LoopbackServer;
using test::RecordedRequest;

// A streamed reply in these pieces, dropped after them when `cut`.
CannedReply streamed(std::vector<Chunk> chunks, bool cut = false) {
    CannedReply reply{200, "", "text/event-stream"};
    reply.chunks = std::move(chunks);
    reply.cutAfterChunks = cut;
    return reply;
}

class ScriptedLocalModel final : public LocalModel {
public:
    Result<std::string> localAnswer(const std::string&, const std::optional<std::string>&, Level) override {
        return Failure{"The built-in model took too long to start."};
    }
};

class ScriptedOnDevice final : public OnDeviceRuntime {
public:
    std::optional<std::string> foundationAnswer(const std::string& text, Level level) override {
        calls.push_back({text, level});
        return answer;
    }
    std::optional<std::string> answer;
    std::vector<std::pair<std::string, Level>> calls;
};

class ModelServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<LoopbackServer>([](const RecordedRequest&) {
            return CannedReply{200, chatReply("An answer.")};
        });
        useProvider({ModelProvider::groq, server->baseURL() + "/v1///", "test-model"}, "sk-test");
    }

    void useProvider(const ModelPreferences& connection, const std::string& key) {
        EXPECT_TRUE(connection.save(*preferences));
        EXPECT_TRUE(APIKeyStore(*secrets).save(key, connection.provider));
    }

    std::unique_ptr<ModelService> makeService(std::chrono::milliseconds timeout = 50s,
                                              std::shared_ptr<HttpTransport> transport = nullptr) {
        ModelService::Dependencies deps;
        deps.preferences = preferences;
        deps.secrets = secrets;
        deps.transport = transport ? std::move(transport) : std::make_shared<CurlTransport>();
        deps.local = local;
        deps.onDevice = onDevice;
        deps.responseLanguage = [] { return std::string("de-DE"); };
        deps.requestTimeout = timeout;
        deps.requestDeadline = deadline;
        return std::make_unique<ModelService>(std::move(deps));
    }

    nlohmann::json lastBody() const { return nlohmann::json::parse(server->requests().back().body); }

    std::shared_ptr<test::MemoryPreferenceStore> preferences =
        std::make_shared<test::MemoryPreferenceStore>();
    std::shared_ptr<test::MemorySecretStore> secrets = std::make_shared<test::MemorySecretStore>();
    std::shared_ptr<ScriptedLocalModel> local = std::make_shared<ScriptedLocalModel>();
    std::shared_ptr<ScriptedOnDevice> onDevice = std::make_shared<ScriptedOnDevice>();
    std::unique_ptr<LoopbackServer> server;
    std::chrono::milliseconds deadline = 120s;
};

TEST_F(ModelServiceTest, CloudRequestCarriesTheHeadersBodyAndBandTemperature) {
    auto service = makeService();
    ASSERT_TRUE(explainNow(*service, "Photosynthesis", std::nullopt, 10).ok());
    const RecordedRequest request = server->requests().back();
    EXPECT_EQ(request.path, "/v1/chat/completions") << "slashes of the base URL are trimmed";
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Authorization"), "Bearer sk-test");
    const nlohmann::json body = lastBody();
    EXPECT_EQ(body["model"], "test-model");
    EXPECT_EQ(body["messages"][0]["content"], systemPrompt(10, "de-DE"))
        << "the band and the user's language";
    EXPECT_EQ(body["messages"].back(), (nlohmann::json{{"role", "user"}, {"content", "Photosynthesis"}}));
    EXPECT_DOUBLE_EQ(body["temperature"].get<double>(), 0.15);
    for (const auto& [level, temperature] :
         std::vector<std::pair<Level, double>>{{11, 0.35}, {-5, 0.15}, {250, 0.35}}) {
        ASSERT_TRUE(explainNow(*service, "Photosynthesis", std::nullopt, level).ok());
        EXPECT_DOUBLE_EQ(lastBody()["temperature"].get<double>(), temperature) << "level " << level;
    }
    // A follow-up, even an empty one, sends the follow-up prompt and the question.
    ASSERT_TRUE(explainNow(*service, "Chlorophyll", std::string(), 60).ok());
    EXPECT_EQ(lastBody()["messages"][0]["content"], followupPrompt("Chlorophyll", 60, "de-DE"));
    EXPECT_EQ(lastBody()["messages"][1]["content"], "");
    ASSERT_TRUE(explainNow(*service, std::string("caf\xC3") + "\xFF!", std::nullopt, 50).ok());
    EXPECT_EQ(lastBody()["messages"][1]["content"], "caf\uFFFD\uFFFD!")
        << "the selection's UTF-8 is repaired";
}

TEST_F(ModelServiceTest, KeyAndAddressProblemsAreReportedBeforeAnythingIsSentAndRedirectsAreRefused) {
    auto service = makeService();
    useProvider({ModelProvider::openAI, server->baseURL(), "m"}, "sk-evil\r\nX-Injected: 1");
    ExplainResult result = explainNow(*service, "text", std::nullopt, 50);
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.errorMessage().find("Enter it again in Settings"), std::string::npos);

    useProvider({ModelProvider::custom, "http://exa mple.com/v1", "m"}, "sk");
    EXPECT_EQ(explainNow(*service, "text", std::nullopt, 50).errorMessage(),
              "The provider address is invalid.");
    EXPECT_TRUE(server->requests().empty());

    // The key never travels in clear text: only https, or plain http to this computer. An address
    // without a scheme (which the HTTP client would read as http://), an empty one and a file address
    // are all refused before anything is sent.
    const std::string port = std::to_string(server->port());
    for (const std::string& address :
         {"127.0.0.1:" + port + "/v1", std::string(), std::string("file:///etc"),
          std::string("http://example.com/v1"), "http://127.0.0.1@example.com:" + port + "/v1",
          std::string("ftp://127.0.0.1/v1"), std::string("https:///v1")}) {
        useProvider({ModelProvider::custom, address, "m"}, "sk");
        EXPECT_EQ(explainNow(*service, "text", std::nullopt, 50).errorMessage(),
                  "The provider address must start with https:// (http:// only for this computer).")
            << address;
    }
    EXPECT_TRUE(server->requests().empty());
    for (const std::string& address :
         {"http://localhost:" + port + "/v1", "HTTP://127.0.0.1:" + port + "/v1"}) {
        useProvider({ModelProvider::custom, address, "m"}, "sk");
        EXPECT_TRUE(explainNow(*service, "text", std::nullopt, 50).ok()) << address;
    }

    // A redirect never carries the key elsewhere.
    LoopbackServer elsewhere([](const RecordedRequest&) { return CannedReply{200, chatReply("taken")}; });
    LoopbackServer redirecting([&elsewhere](const RecordedRequest&) {
        CannedReply reply{307, ""};
        reply.headers = {{"Location", elsewhere.baseURL() + "/v1/chat/completions"}};
        return reply;
    });
    useProvider({ModelProvider::custom, redirecting.baseURL() + "/v1", "m"}, "sk-secret");
    EXPECT_EQ(explainNow(*service, "text", std::nullopt, 50).errorMessage(),
              "The selected provider could not answer.");
    EXPECT_TRUE(elsewhere.requests().empty()) << "the key followed the redirect";
}

TEST_F(ModelServiceTest, QuittingAbandonsTheRunningRequestAndSendsNothingMore) {
    server->setResponder([](const RecordedRequest&) {
        return CannedReply{200, chatReply("late"), "application/json", 6s}; // a provider that stalls
    });
    auto service = makeService();
    std::mutex mutex;
    std::vector<ExplainResult> results;
    service->explain("text", std::nullopt, 50, [&](ExplainResult result) {
        const std::lock_guard lock(mutex);
        results.push_back(std::move(result));
    });
    ASSERT_TRUE(test::eventually([&] { return !server->requests().empty(); }));
    service->explain("queued", std::nullopt, 50, [](ExplainResult) {});
    const auto start = std::chrono::steady_clock::now();
    service.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << "quitting waited for the provider";
    EXPECT_EQ(server->requests().size(), 1U) << "a queued request was sent after the service went away";
    const std::lock_guard lock(mutex);
    for (const ExplainResult& result : results) {
        EXPECT_FALSE(result.ok()) << "an abandoned request reported an answer";
    }
}

// A connection cut mid-answer is the reply table's case and the built-in server's killed one.
TEST_F(ModelServiceTest, SilentAndRefusedConnectionsFailWithTheTransportError) {
    auto service = makeService(1s);
    const auto expectTransportError = [&service](const char* what) {
        const auto started = std::chrono::steady_clock::now();
        const ExplainResult result = explainNow(*service, "text", std::nullopt, 70);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 4s)
            << what << ": the idle time-out ends the wait";
        EXPECT_FALSE(result.ok()) << what;
        EXPECT_THROW(std::rethrow_exception(result.error()), TransportError) << what;
        return result.ok() ? std::string() : result.errorMessage();
    };
    server->setResponder([](const RecordedRequest&) {
        return streamed({{0ms, chatDelta("Started")}, {2500ms, chatDelta(" late")}});
    });
    EXPECT_NE(expectTransportError("a stream gone silent").find("timed out"), std::string::npos);

    const int closed = LoopbackServer([](const RecordedRequest&) { return CannedReply{}; }).port();
    useProvider({ModelProvider::custom, "http://127.0.0.1:" + std::to_string(closed), "m"}, "sk");
    EXPECT_FALSE(expectTransportError("a port nobody answers on").empty());

    // Neither an error nor a response: the provider said nothing, which is not called the local model.
    struct SilentTransport final : HttpTransport {
        Result<HttpResponse> send(const HttpRequest&) override { return Failure{"", httpNoResponse}; }
    };
    EXPECT_EQ(explainNow(*makeService(50s, std::make_shared<SilentTransport>()), "text", std::nullopt, 50)
                  .errorMessage(),
              "The selected provider did not respond. Check Settings and try again.");
}

TEST_F(ModelServiceTest, LocalFailureGetsTheOnDeviceSecondChanceOnlyForFirstExplanations) {
    useProvider({ModelProvider::local, "http://127.0.0.1:7332/v1", "gemma-3-1b-it"}, "");
    onDevice->answer = "**On-device** answer \u2014 fine.";
    auto service = makeService();

    const ExplainResult first = explainNow(*service, "text", std::nullopt, 50);
    ASSERT_TRUE(first.ok()) << first.errorMessage();
    EXPECT_EQ(first.answer(), "On-device answer, fine.") << "the second chance is cleaned too";
    ASSERT_EQ(onDevice->calls.size(), 1U);
    EXPECT_EQ(onDevice->calls[0], (std::pair<std::string, Level>{"text", 50}));

    const ExplainResult followUp = explainNow(*service, "text", std::string("why?"), 50);
    EXPECT_EQ(followUp.errorMessage(), "The built-in model took too long to start.");
    EXPECT_EQ(onDevice->calls.size(), 1U);

    onDevice->answer.reset();
    EXPECT_EQ(explainNow(*service, "text", std::nullopt, 50).errorMessage(),
              "The built-in model took too long to start.");

    // A cloud provider whose key was removed reads as the built-in provider, second chance included.
    useProvider({ModelProvider::groq, server->baseURL(), "m"}, "");
    onDevice->answer = "Fallback.";
    EXPECT_EQ(explainNow(*service, "text", std::nullopt, 50).answer(), "Fallback.");
    EXPECT_TRUE(server->requests().empty());
}

// One streamed event: this delta and finish_reason.
std::string event(const nlohmann::json& delta, const nlohmann::json& finish = nullptr) {
    const nlohmann::json choice = {{"index", 0}, {"delta", delta}, {"finish_reason", finish}};
    return "data: " + nlohmann::json{{"choices", {choice}}}.dump() + "\n\n";
}

// A streamed reply of these events, sent at once; `tail` pieces follow after a pause each.
CannedReply events(const std::vector<std::string>& now, const std::vector<std::string>& tail = {}) {
    std::vector<Chunk> chunks;
    for (const std::string& piece : now) {
        chunks.push_back({0ms, piece});
    }
    for (const std::string& piece : tail) {
        chunks.push_back({200ms, piece});
    }
    return streamed(std::move(chunks));
}

// Each reply, whole or streamed, ends in the cleaned answer or a message (compared by its start), and
// soon: within the 3-second limit of a request.
TEST_F(ModelServiceTest, EveryReplyEndsInTheCleanedAnswerOrAClearError) {
    const std::string done = "data: [DONE]\n\n";
    const nlohmann::json none = nlohmann::json::object();
    const std::string unreadable = "error: The selected provider returned an unreadable answer.";
    const std::string thoughtOnly =
        "error: The model spent its whole length limit thinking and gave no answer.";
    const std::string capped =
        std::string(answerCapBytes, 'a') + "\n\n(Cut short: the answer was longer than 64 KB.)";
    CannedReply rateLimited{429, R"({"error":{"message":"Rate limit reached for requests"}})"};
    rateLimited.headers = {{"Retry-After", "30"}};
    struct Case {
        const char* what;
        CannedReply reply;
        std::string expected; // the answer, or "error: " and the message's start
        Level level = 70;
    };
    const std::vector<Case> cases{
        // What each band keeps is the cleanup's table; one answer per band shows the level reaches it.
        {"cleaned for its band", {200, chatReply("fast\u2014really fast")}, "fast, really fast", 50},
        {"cleaned to nothing", {200, chatReply("It is.")}, "error: The answer came back empty.", 5},
        {"a huge answer", {200, chatReply(std::string(std::size_t{5} * 1024 * 1024, 'a'))}, capped, 95},
        {"a huge stream", events(std::vector<std::string>(5000, chatDelta(std::string(1024, 'a')))), capped,
         95},
        {"a 201", {201, chatReply("valid but 201")}, "error: The selected provider could not answer."},
        {"a 401",
         {401, R"({"error":{"message":"Incorrect API key provided.","code":"invalid_api_key"}})"},
         "error: The provider did not accept the API key. Check it in Settings. (Groq says: Incorrect API "
         "key "
         "provided.)"},
        {"a 429 that says when to try again", rateLimited,
         "error: The provider is receiving too many requests. Try again in 30 seconds. (Groq says: Rate "
         "limit "
         "reached for requests)"},
        {"a context too long",
         {400,
          R"({"error":{"message":"This model's maximum context length is 8192 tokens.","param":"messages"}})"},
         "error: The selected text is too long for this model. Select less text. (Groq says: This model's "
         "maximum context length is 8192 tokens.)"},
        {"an overload in an array",
         {503, R"([{"error":{"code":503,"message":"The model is overloaded.","status":"UNAVAILABLE"}}])"},
         "error: The provider has a problem right now. Try again later. (Groq says: The model is "
         "overloaded.)"},
        {"null content", {200, R"({"choices":[{"message":{"content":null}}]})"}, unreadable},
        {"no choices", {200, R"({"choices":[]})"}, unreadable},
        {"an array", {200, R"([1,2])"}, unreadable},
        // A page from a proxy is an unreadable answer, not a JSON parser's exception text.
        {"an HTML page", {200, "<html>not json</html>", "text/html"}, unreadable},
        // Partial text is cleaned as it comes: no Markdown mark or dash flashes by.
        {"a whole stream",
         streamed(chatStream({"**Water", "** boils", " at 100 ", "\u00b0C \u2014 at sea level."}, 20ms)),
         "Water boils at 100 \u00b0C, at sea level."},
        // Thinking shows as thinking, never as text; the telegraphic band works on the answer alone.
        {"think",
         events({chatDelta("<think>\nThe user"), chatDelta(" asks about plants.\n</think>\n\n"),
                 chatDelta("Plants make food from light."), event(none, "stop"), done}),
         "Plants make food light.", 5},
        {"thinking to the limit",
         events({chatDelta("<think>Let me think about"), event(none, "length"), done}), thoughtOnly},
        {"reasoning only",
         events({event({{"reasoning_content", "Hmm."}}), event({{"reasoning", " More."}}),
                 event(none, "length"), done}),
         thoughtOnly},
        {"cut at the length limit", events({chatDelta("Plants make food from"), event(none, "length"), done}),
         "Plants make food from\n\n(Cut short: the answer reached its length limit.)"},
        {"filtered", events({event(none, "content_filter"), done}),
         "error: The provider withheld the answer: its content filter stopped it."},
        {"held open after the answer",
         events({chatDelta("Whole answer."), event(none, "stop"), done},
                std::vector<std::string>(50, ": idle\n\n")),
         "Whole answer."},
        {"keep-alive comments only", events({}, std::vector<std::string>(50, ": keep-alive\n\n")),
         "error: The request took longer than 3 seconds and was ended."},
        {"cut midway", streamed({{0ms, chatDelta("One")}, {0ms, chatDelta(" two")}}, true), "error: "},
        {"ends without [DONE] after a finish_reason", events({chatDelta("Done here."), event(none, "stop")}),
         "Done here."},
        {"ends without [DONE] or a finish_reason", events({chatDelta("Half")}),
         std::string("error: ") + incompleteAnswerMessage},
        {"a malformed event", events({chatDelta("A"), "data: {\"choices\": [\n\n", done}), unreadable},
        {"an error object in the stream",
         events({chatDelta("Par"), "data: {\"error\":{\"message\":\"Rate limit reached\"}}\n\n"}),
         "error: The selected provider could not answer. (Groq says: Rate limit reached)"},
        {"a character split across pieces",
         events({"data: {\"choices\":[{\"delta\":{\"content\":\"Caf\xC3", "\xA9 au lait.\"}}]}\n\n", done}),
         "Caf\u00e9 au lait."},
        {"CRLF line ends and keep-alive comments",
         events({": keep-alive\r\n\r\n", "data: {\"choices\":[{\"delta\":{\"role\":\"assistant\"}}]}\r\n\r\n",
                 ": still here\r\n\r\ndata: {\"choices\":[{\"delta\":{\"content\":\"Fine.\"}}]}\r\n\r\n",
                 "data: [DONE]\r\n\r\n"}),
         "Fine."},
    };
    deadline = 3s;
    auto service = makeService();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server->setResponder([&c](const RecordedRequest&) { return c.reply; });
        std::vector<std::string> partials; // shown on the model queue, so before the completion
        const auto started = std::chrono::steady_clock::now();
        const ExplainResult result =
            explainNow(*service, "text", std::nullopt, c.level,
                       [&partials](const std::string& text) { partials.push_back(text); });
        EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
        for (const std::string& partial : partials) {
            EXPECT_TRUE(partial.find('*') == std::string::npos &&
                        partial.find("\u2014") == std::string::npos &&
                        partial.find("user") == std::string::npos)
                << partial;
        }
        if (c.what == std::string_view("think")) {
            ASSERT_FALSE(partials.empty());
            EXPECT_EQ(partials.front(), "Thinking\u2026");
        }
        if (c.expected.rfind("error: ", 0) == 0) {
            ASSERT_FALSE(result.ok()) << "partial text was taken for the answer: " << result.answer();
            EXPECT_EQ(result.errorMessage().rfind(c.expected.substr(7), 0), 0U) << result.errorMessage();
        } else {
            ASSERT_TRUE(result.ok()) << result.errorMessage();
            EXPECT_EQ(result.answer(), c.expected);
        }
    }
}

// A streaming request replaced by a thousand more, each replaced by the next: the stream's connection is
// closed at once, replaced requests still queued are never sent, every completion runs once on the model
// queue, only the last request is answered and memory stays flat.
TEST_F(ModelServiceTest, AThousandRequestsEachReplacedByTheNextKeepMemoryFlatAndOnlyTheLastIsAnswered) {
    server->setResponder([](const RecordedRequest& request) {
        if (request.body.find("Zyzzyva") != std::string::npos) {
            return streamed(chatStream(std::vector<std::string>(60, "word "), 100ms));
        }
        return streamed(
            chatStream({"Answer to ", request.body.find("last") != std::string::npos ? "last." : "x."}, 2ms));
    });
    auto service = makeService();
    const auto callerThread = std::this_thread::get_id();
    std::atomic<int> superseded{0};
    std::atomic<int> completed{0};
    const auto count = [&](const ExplainResult& result) {
        EXPECT_NE(std::this_thread::get_id(), callerThread) << "completions run on the model queue";
        ++completed;
        superseded += result.isSuperseded() ? 1 : 0;
    };
    const auto flood = [&](int many) { // each replaced by the next; the last one's result
        std::promise<ExplainResult> last;
        for (int i = 1; i <= many; ++i) {
            service->explain(
                i == many ? "last" : "text", std::nullopt, 70,
                [&, i](ExplainResult result) {
                    count(result);
                    if (i == many) {
                        last.set_value(std::move(result));
                    }
                },
                [](const std::string&) {});
        }
        return last.get_future().get();
    };
    flood(100); // warms the allocator and the connection
    const long before = test::residentKilobytes();
    std::atomic<bool> streaming{false};
    service->explain("Zyzzyva", std::nullopt, 70, count, [&](const std::string&) { streaming = true; });
    ASSERT_TRUE(test::eventually([&] { return streaming.load(); }));
    const std::size_t sent = server->requests().size();
    const auto start = std::chrono::steady_clock::now();
    const ExplainResult result = flood(1000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "the replaced stream ran on";
    const long after = test::residentKilobytes();
    ASSERT_TRUE(result.ok()) << result.errorMessage();
    EXPECT_EQ(result.answer(), "Answer to last.");
    EXPECT_LT(after - before, 8 * 1024) << "memory grew by " << (after - before) << " kB over 1,000 requests";
    EXPECT_LT(server->requests().size() - sent, 500U) << "replaced requests were sent from the queue";
    EXPECT_TRUE(test::eventually([&] { return server->abandonedStreams() >= 1; }))
        << "the replaced stream's connection stayed open";
    service.reset();
    EXPECT_EQ(completed, 1101) << "every request completes exactly once";
    EXPECT_GE(superseded, 1099) << "replaced requests were answered anyway";
}

} // namespace
} // namespace ulvo
