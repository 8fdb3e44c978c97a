// The answer service against a stand-in that keeps the cloud providers' published rules, reached through
// the presets' own addresses: a private network whose hosts file leads their names to 127.0.0.1 and whose
// only trusted CA is the stand-in's certificate. The built-in port's squatters are here too.
#include "answer/ModelList.h"
#include "answer/ModelService.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/ListeningSocket.h"
#include "platform/linux/PosixProcessLauncher.h"
#include "server/LocalServer.h"
#include "settings/APIKeyStore.h"
#include "tests/support/LocalOnlyService.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ProviderNetwork.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::CannedReply;
using test::RecordedRequest;

test::ProviderNetwork network;
const std::vector<std::string> providerHosts{"api.openai.com", "openrouter.ai", "api.groq.com",
                                             "generativelanguage.googleapis.com", "api.x.ai"};
constexpr const char* goodKey = "sk-good";

std::string event(const json& delta, const json& finish = nullptr) {
    return "data: " +
           json{{"choices", {{{"index", 0}, {"delta", delta}, {"finish_reason", finish}}}}}.dump() + "\n\n";
}

CannedReply openAIError(int status, const std::string& message, const json& param, const std::string& code) {
    const json error = {
        {"message", message}, {"type", "invalid_request_error"}, {"param", param}, {"code", code}};
    return {status, json{{"error", error}}.dump()};
}

// Events sent at once; `tail` pieces follow after a pause each, until the client leaves.
CannedReply stream(const std::vector<std::string>& events, std::vector<std::string> tail = {}) {
    CannedReply reply{200, "", "text/event-stream"};
    for (const std::string& piece : events) {
        reply.chunks.push_back({0ms, piece});
    }
    for (const std::string& piece : tail) {
        reply.chunks.push_back({200ms, piece});
    }
    return reply;
}

// What the stand-in does, by the model's name, once a request meets the rules.
const std::map<std::string, CannedReply>& behaviours() {
    const std::string done = "data: [DONE]\n\n";
    const json none = json::object();
    static const std::map<std::string, CannedReply> byModel{
        // Groq's raw reasoning format.
        {"think", stream({event({{"role", "assistant"}}), event({{"content", "<think>\nThe user"}}),
                          event({{"content", " asks about plants.\n</think>\n\n"}}),
                          event({{"content", "Plants make food from light."}}), event(none, "stop"), done})},
        {"think-forever", stream({event({{"content", "<think>Let me think about"}}), event({{"content", " it."}}),
                                  event(none, "length"), done})},
        {"reasoning-only", stream({event({{"reasoning_content", "Hmm."}}), event({{"reasoning", " More."}}),
                                   event(none, "length"), done})},
        {"cut", stream({event({{"content", "Plants make food from"}}), event(none, "length"), done})},
        {"filtered", stream({event(none, "content_filter"), done})},
        // The connection stays open after the answer, or carries only comments, until the client leaves.
        {"held-open", stream({event({{"content", "Whole answer."}}), event(none, "stop"), done},
                             std::vector<std::string>(50, ": idle\n\n"))},
        {"keep-alive", stream({}, std::vector<std::string>(50, ": keep-alive\n\n"))},
        {"huge", stream(std::vector<std::string>(5000, event({{"content", std::string(1024, 'a') + " "}})))},
        {"rate-limited", [] {
             CannedReply reply = openAIError(429, "Rate limit reached for requests", nullptr, "rate_limit_exceeded");
             reply.headers = {{"Retry-After", "30"}};
             return reply;
         }()},
        {"context", openAIError(400, "This model's maximum context length is 8192 tokens.", "messages",
                                "context_length_exceeded")},
        {"overloaded",
         {503, json::array({{{"error", {{"code", 503}, {"message", "The model is overloaded."}, {"status", "UNAVAILABLE"}}}}})
                   .dump()}},
    };
    return byModel;
}

// One HTTPS server on 127.0.0.1:443 for every provider.
CannedReply answer(const RecordedRequest& request) {
    const std::string host = request.header("Host");
    if (request.header("Authorization") != std::string("Bearer ") + goodKey) {
        return openAIError(401, "Incorrect API key provided.", nullptr, "invalid_api_key");
    }
    if (request.path.ends_with("/models")) {
        const json ids = host == "generativelanguage.googleapis.com"
                             ? json::array({"models/gemini-2.5-flash", "models/gemini-2.5-pro"})
                             : json::array({"gpt-5.4-mini", "gpt-5-mini", "gpt-5.4-mini"});
        json data = json::array();
        for (const json& id : ids) {
            data.push_back({{"id", id}, {"object", "model"}});
        }
        return {200, json{{"object", "list"}, {"data", data}}.dump()};
    }
    const json body = json::parse(request.body, nullptr, false);
    const std::string model = body.is_object() ? body.value("model", "") : "";
    // OpenAI's gpt-5 family: no "max_tokens", no temperature but 1.
    if (host == "api.openai.com" && model.starts_with("gpt-5")) {
        if (body.contains("max_tokens")) {
            return openAIError(400,
                               "Unsupported parameter: 'max_tokens' is not supported with this model. Use "
                               "'max_completion_tokens' instead.",
                               "max_tokens", "unsupported_parameter");
        }
        if (body.contains("temperature") && body["temperature"] != 1) {
            return openAIError(400,
                               "Unsupported value: 'temperature' does not support " +
                                   body["temperature"].dump() +
                                   " with this model. Only the default (1) value is supported.",
                               "temperature", "unsupported_value");
        }
    }
    const auto found = behaviours().find(model);
    return found != behaviours().end() ? found->second
                                       : stream({event({{"content", "A plain answer."}}),
                                                 event(json::object(), "stop"), "data: [DONE]\n\n"});
}

class ProviderStandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!network.problem.empty()) {
            GTEST_SKIP() << "no private provider network: " << network.problem;
        }
        standIn = std::make_unique<test::LoopbackServer>(answer, 443,
                                                         test::TlsIdentity{network.certificate, network.key});
    }

    // The preset's own address (or `baseURL`), this model and key.
    std::unique_ptr<ModelService> service(ModelProvider provider, const std::string& model,
                                          std::string baseURL = "", const std::string& key = goodKey) {
        EXPECT_TRUE(
            (ModelPreferences{provider, baseURL.empty() ? defaults(provider).baseURL : baseURL, model})
                .save(*preferences));
        EXPECT_TRUE(APIKeyStore(*secrets).save(key, provider));
        ModelService::Dependencies deps;
        deps.preferences = preferences;
        deps.secrets = secrets;
        deps.transport = std::make_shared<CurlTransport>();
        deps.requestTimeout = 5s;
        deps.requestDeadline = 3s;
        return std::make_unique<ModelService>(std::move(deps));
    }

    // The answer, or "error: " and the message.
    std::string outcome(ModelService& service, Level level = 70) {
        partials.clear();
        const ExplainResult result =
            test::explainNow(service, "Photosynthesis", std::nullopt, level,
                             [this](const std::string& text) { partials.push_back(text); });
        return result.ok() ? result.answer() : "error: " + result.errorMessage();
    }

    json lastBody() const { return json::parse(standIn->requests().back().body); }

    std::shared_ptr<test::MemoryPreferenceStore> preferences =
        std::make_shared<test::MemoryPreferenceStore>();
    std::shared_ptr<test::MemorySecretStore> secrets = std::make_shared<test::MemorySecretStore>();
    std::unique_ptr<test::LoopbackServer> standIn;
    std::vector<std::string> partials; // shown on the model queue, so before the completion
};

// The preset meets OpenAI's rules at the first try; the same family behind a custom address sends the
// ordinary members, and learns from each 400 for the model.
TEST_F(ProviderStandInTest, OpenAIsRulesAreMetByThePresetAndLearnedBehindACustomAddress) {
    EXPECT_EQ(outcome(*service(ModelProvider::openAI, defaults(ModelProvider::openAI).model)),
              "A plain answer.");
    ASSERT_EQ(standIn->requests().size(), 1U) << "the preset's request was refused first";
    EXPECT_EQ(standIn->requests().back().header("Host"), "api.openai.com");
    EXPECT_EQ(lastBody()["reasoning_effort"], "low");

    auto custom = service(ModelProvider::custom, "gpt-5-mini", "https://api.openai.com/v1");
    EXPECT_EQ(outcome(*custom), "A plain answer.");
    EXPECT_EQ(standIn->requests().size(), 4U) << "max_tokens, then temperature, then the answer";
    EXPECT_EQ(outcome(*custom), "A plain answer.");
    EXPECT_EQ(standIn->requests().size(), 5U) << "the adaptation was not remembered";
    EXPECT_FALSE(lastBody().contains("temperature"));
    EXPECT_EQ(lastBody()["max_completion_tokens"], reasoningMaxTokens);
}

// Each row: what the provider sends, and what the card shows; thinking shows as thinking, never as text.
TEST_F(ProviderStandInTest, HowAnswersEndIsToldTruly) {
    const std::string thoughtOnly =
        "error: The model spent its whole length limit thinking and gave no answer.";
    struct Case {
        ModelProvider provider;
        std::string model;
        std::string expected; // how the outcome starts, or for a capped answer how it ends
        std::string key = goodKey;
        Level level = 70;
    };
    const std::vector<Case> cases{
        // The telegraphic band works on the answer alone.
        {ModelProvider::groq, "think", "Plants make food light.", goodKey, 5},
        {ModelProvider::groq, "think-forever", thoughtOnly},
        {ModelProvider::groq, "reasoning-only", thoughtOnly},
        {ModelProvider::groq, "cut",
         "Plants make food from\n\n(Cut short: the answer reached its length limit.)"},
        {ModelProvider::groq, "filtered",
         "error: The provider withheld the answer: its content filter stopped it."},
        {ModelProvider::groq, "held-open", "Whole answer."},
        {ModelProvider::groq, "keep-alive", "error: The request took longer than 3 seconds and was ended."},
        {ModelProvider::groq, "rate-limited",
         "error: The provider is receiving too many requests. Try again in 30 "
         "seconds. (Groq says: Rate limit reached for requests)"},
        {ModelProvider::groq, "context",
         "error: The selected text is too long for this model. Select less text. "
         "(Groq says: This model's maximum context length is 8192 tokens.)"},
        {ModelProvider::groq, "overloaded",
         "error: The provider has a problem right now. Try again later. (Groq says: The model is "
         "overloaded.)"},
        {ModelProvider::openRouter, "huge", "(Cut short: the answer was longer than 64 KB.)"},
        {ModelProvider::xAI, "grok-4-fast-non-reasoning",
         "error: The provider did not accept the API key. Check it in Settings. (xAI says: Incorrect API key "
         "provided.)",
         "sk-wrong"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        const auto started = std::chrono::steady_clock::now();
        const std::string got = outcome(*service(c.provider, c.model, "", c.key), c.level);
        EXPECT_TRUE(got.starts_with(c.expected) || got.ends_with(c.expected)) << got.substr(0, 200);
        EXPECT_LT(got.size(), answerCapBytes + 100);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
        for (const std::string& partial : partials) {
            EXPECT_EQ(partial.find("user"), std::string::npos) << "the monologue flashed by: " << partial;
        }
        if (c.model == "think") {
            ASSERT_FALSE(partials.empty());
            EXPECT_EQ(partials.front(), "Thinking\u2026");
        }
    }
}

TEST_F(ProviderStandInTest, SettingsListsTheProvidersOwnModelsOrSaysWhyNot) {
    CurlTransport transport;
    EXPECT_EQ(providerModels(transport, {ModelProvider::openAI, "https://api.openai.com/v1/", goodKey}),
              (json{{"ok", true}, {"models", {"gpt-5-mini", "gpt-5.4-mini"}}}));
    EXPECT_EQ(
        providerModels(transport, {ModelProvider::gemini, defaults(ModelProvider::gemini).baseURL, goodKey}),
        (json{{"ok", true}, {"models", {"gemini-2.5-flash", "gemini-2.5-pro"}}}));
    EXPECT_EQ(standIn->requests().back().path, "/v1beta/openai/models");
    EXPECT_EQ(
        providerModels(transport, {ModelProvider::groq, defaults(ModelProvider::groq).baseURL, "sk-bad"}),
        (json{{"ok", false},
              {"error", "The provider did not accept the API key. Check it in Settings. (Groq says: "
                        "Incorrect API key provided.)"}}));
}

TEST_F(ProviderStandInTest, ASquatterOnTheBuiltInPortGetsNothing) {
    // Another user's server: answers health and logs every request.
    const std::filesystem::path log = network.certificate.parent_path() / "squatter.log";
    std::ofstream(log).close();
    std::filesystem::permissions(log, std::filesystem::perms::all);
    const std::string script = R"(
import http.server, sys
class H(http.server.BaseHTTPRequestHandler):
    def answer(self):
        open(sys.argv[1], "a").write(self.path + " " + str(self.headers.get("Authorization")) + "\n")
        self.send_response(200); self.send_header("Content-Length", "2"); self.end_headers(); self.wfile.write(b"{}")
    do_GET = do_POST = answer
http.server.HTTPServer(("127.0.0.1", 7332), H).serve_forever()
)";
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            ::execl("/usr/bin/python3", "python3", "-c", script.c_str(), log.c_str(), nullptr);
        }
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    EXPECT_TRUE(test::eventually([] { return !loopbackListenerOwners(7332).empty(); }));
    EXPECT_EQ(loopbackListenerOwners(7332), std::vector<uid_t>{65534});
    const auto builtIn = [] {
        LocalServer::Options options;
        options.transport = std::make_shared<CurlTransport>();
        options.launcher = std::make_shared<PosixProcessLauncher>();
        options.key = [] { return std::string("the-real-runtime-key"); };
        options.portIsUsers = [] { return loopbackPortIsUsers(7332); };
        return std::make_unique<LocalServer>(std::move(options));
    };
    EXPECT_TRUE(builtIn()->healthIsReady()) << "the squatter looks healthy";
    const Result<void> ready = builtIn()->ensureServer(RuntimeConfig{});
    ASSERT_FALSE(ready) << "the squatter was taken for the built-in server";
    EXPECT_EQ(ready.failure().message, "Another program is using port 7332.");
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    std::ifstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.find("the-real-runtime-key"), std::string::npos) << line;
        EXPECT_EQ(line.rfind("/health", 0), 0U) << "more than the keyless health probe: " << line;
    }
}

} // namespace
} // namespace ulvo

int main(int argc, char** argv) {
    const bool listing = argc > 1 && std::string_view(argv[1]).find("list_tests") != std::string_view::npos;
    if (!listing) {
        ulvo::network = ulvo::test::enterProviderNetwork(ulvo::providerHosts);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
