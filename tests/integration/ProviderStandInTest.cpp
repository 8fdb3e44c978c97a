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
#include "tests/support/ProviderNetwork.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <mutex>
#include <thread>

namespace ulvo {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

test::ProviderNetwork network;
const std::vector<std::string> providerHosts{"api.openai.com", "openrouter.ai", "api.groq.com",
                                             "generativelanguage.googleapis.com", "api.x.ai"};
constexpr const char* goodKey = "sk-good";

std::string event(const json& delta, const json& finish = nullptr) {
    return "data: " +
           json{{"choices", {{{"index", 0}, {"delta", delta}, {"finish_reason", finish}}}}}.dump() + "\n\n";
}

json openAIError(const std::string& message, const json& param, const std::string& code) {
    return {{"error",
             {{"message", message}, {"type", "invalid_request_error"}, {"param", param}, {"code", code}}}};
}

struct Seen {
    std::string host;
    std::string path;
    std::string authorization;
    json body;
};

// One HTTPS server on 127.0.0.1:443 for every provider; what it does beyond the rules is chosen by the
// model's name.
class StandIn {
public:
    StandIn()
        : server_(network.certificate.c_str(), network.key.c_str()) {
        const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
            Seen seen{request.get_header_value("Host"), request.path,
                      request.get_header_value("Authorization"), json::parse(request.body, nullptr, false)};
            {
                const std::lock_guard lock(mutex_);
                seen_.push_back(seen);
            }
            answer(seen, response);
        };
        server_.Get(".*", handle);
        server_.Post(".*", handle);
        server_.bind_to_port("127.0.0.1", 443);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) {
            std::this_thread::yield();
        }
    }
    ~StandIn() {
        server_.stop();
        thread_.join();
    }
    std::vector<Seen> seen() const {
        const std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    static void stream(httplib::Response& response, std::vector<std::string> events, bool holdOpen = false,
                       bool keepAliveOnly = false) {
        response.set_chunked_content_provider(
            "text/event-stream", [events = std::move(events), holdOpen, keepAliveOnly,
                                  next = std::size_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                if (keepAliveOnly || next == events.size()) {
                    if (!keepAliveOnly && !holdOpen) {
                        sink.done();
                        return true;
                    }
                    // The connection stays open after the answer, or carries only comments, until the
                    // client leaves.
                    std::this_thread::sleep_for(200ms);
                    return sink.is_writable() && (!keepAliveOnly || sink.write(": keep-alive\n\n", 14));
                }
                const std::string& piece = events[next++];
                return sink.write(piece.data(), piece.size());
            });
    }

    static void answer(const Seen& seen, httplib::Response& response) {
        const bool openAI = seen.host == "api.openai.com";
        if (seen.authorization != std::string("Bearer ") + goodKey) {
            response.status = 401;
            response.set_content(
                openAIError("Incorrect API key provided.", nullptr, "invalid_api_key").dump(),
                "application/json");
            return;
        }
        if (seen.path.size() > 7 && seen.path.substr(seen.path.size() - 7) == "/models") {
            const json ids = seen.host == "generativelanguage.googleapis.com"
                                 ? json::array({"models/gemini-2.5-flash", "models/gemini-2.5-pro"})
                                 : json::array({"gpt-5.4-mini", "gpt-5-mini", "gpt-5.4-mini"});
            json data = json::array();
            for (const json& id : ids) {
                data.push_back({{"id", id}, {"object", "model"}});
            }
            response.set_content(json{{"object", "list"}, {"data", data}}.dump(), "application/json");
            return;
        }
        const std::string model = seen.body.is_object() ? seen.body.value("model", "") : "";
        // OpenAI's gpt-5 family: no "max_tokens", no temperature but 1.
        if (openAI && model.rfind("gpt-5", 0) == 0) {
            if (seen.body.contains("max_tokens")) {
                response.status = 400;
                response.set_content(
                    openAIError("Unsupported parameter: 'max_tokens' is not supported with this model. Use "
                                "'max_completion_tokens' instead.",
                                "max_tokens", "unsupported_parameter")
                        .dump(),
                    "application/json");
                return;
            }
            if (seen.body.contains("temperature") && seen.body["temperature"] != 1) {
                response.status = 400;
                response.set_content(
                    openAIError("Unsupported value: 'temperature' does not support " +
                                    seen.body["temperature"].dump() +
                                    " with this model. Only the default (1) value is supported.",
                                "temperature", "unsupported_value")
                        .dump(),
                    "application/json");
                return;
            }
        }
        const auto refuse = [&response](int status, const json& body) {
            response.status = status;
            response.set_content(body.dump(), "application/json");
        };
        const std::string done = "data: [DONE]\n\n";
        if (model == "think") { // Groq's raw reasoning format
            stream(response, {event({{"role", "assistant"}}), event({{"content", "<think>\nThe user"}}),
                              event({{"content", " asks about plants.\n</think>\n\n"}}),
                              event({{"content", "Plants make food from light."}}),
                              event(json::object(), "stop"), done});
        } else if (model == "think-forever") {
            stream(response, {event({{"content", "<think>Let me think about"}}), event({{"content", " it."}}),
                              event(json::object(), "length"), done});
        } else if (model == "reasoning-only") {
            stream(response, {event({{"reasoning_content", "Hmm."}}), event({{"reasoning", " More."}}),
                              event(json::object(), "length"), done});
        } else if (model == "cut") {
            stream(response,
                   {event({{"content", "Plants make food from"}}), event(json::object(), "length"), done});
        } else if (model == "filtered") {
            stream(response, {event(json::object(), "content_filter"), done});
        } else if (model == "held-open") {
            stream(response, {event({{"content", "Whole answer."}}), event(json::object(), "stop"), done},
                   true);
        } else if (model == "keep-alive") {
            stream(response, {}, false, true);
        } else if (model == "huge") {
            stream(response,
                   std::vector<std::string>(5000, event({{"content", std::string(1024, 'a') + " "}})));
        } else if (model == "rate-limited") {
            response.set_header("Retry-After", "30");
            refuse(429, openAIError("Rate limit reached for requests", nullptr, "rate_limit_exceeded"));
        } else if (model == "context") {
            refuse(400, openAIError("This model's maximum context length is 8192 tokens.", "messages",
                                    "context_length_exceeded"));
        } else if (model == "overloaded") {
            refuse(503, json::array({{{"error",
                                       {{"code", 503},
                                        {"message", "The model is overloaded."},
                                        {"status", "UNAVAILABLE"}}}}}));
        } else if (model == "credit") {
            refuse(402, {{"error", {{"message", "Insufficient credits."}, {"code", 402}}}});
        } else {
            stream(response, {event({{"content", "A plain answer."}}), event(json::object(), "stop"), done});
        }
    }

    httplib::SSLServer server_;
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
    std::thread thread_;
};

class ProviderStandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!network.problem.empty()) {
            GTEST_SKIP() << "no private provider network: " << network.problem;
        }
        standIn = std::make_unique<StandIn>();
    }

    // The preset's own address, this model and the stand-in's key.
    std::unique_ptr<ModelService> service(ModelProvider provider, const std::string& model,
                                          std::string baseURL = "") {
        EXPECT_TRUE(
            (ModelPreferences{provider, baseURL.empty() ? defaults(provider).baseURL : baseURL, model})
                .save(*preferences));
        EXPECT_TRUE(APIKeyStore(*secrets).save(goodKey, provider));
        ModelService::Dependencies deps;
        deps.preferences = preferences;
        deps.secrets = secrets;
        deps.transport = std::make_shared<CurlTransport>();
        deps.requestTimeout = 5s;
        deps.requestDeadline = 3s;
        return std::make_unique<ModelService>(std::move(deps));
    }

    std::string outcome(ModelService& service, Level level = 70) {
        const ExplainResult result = test::explainNow(service, "Photosynthesis", std::nullopt, level);
        return result.ok() ? result.answer() : "error: " + result.errorMessage();
    }

    std::shared_ptr<test::MemoryPreferenceStore> preferences =
        std::make_shared<test::MemoryPreferenceStore>();
    std::shared_ptr<test::MemorySecretStore> secrets = std::make_shared<test::MemorySecretStore>();
    std::unique_ptr<StandIn> standIn;
};

TEST_F(ProviderStandInTest, TheOpenAIPresetAnswersWithItsDefaultModelAtFirstTry) {
    auto openAI = service(ModelProvider::openAI, defaults(ModelProvider::openAI).model);
    EXPECT_EQ(outcome(*openAI), "A plain answer.");
    ASSERT_EQ(standIn->seen().size(), 1U) << "the preset's request was refused first";
    const json body = standIn->seen().back().body;
    EXPECT_EQ(standIn->seen().back().host, "api.openai.com");
    EXPECT_TRUE(body.contains("max_completion_tokens") && !body.contains("max_tokens")) << body;
    EXPECT_EQ(body["reasoning_effort"], "low");
}

TEST_F(ProviderStandInTest, A400NamingAMemberIsRetriedWithoutItAndRememberedForTheModel) {
    // The same family behind a custom address sends the ordinary members and learns.
    auto custom = service(ModelProvider::custom, "gpt-5-mini", "https://api.openai.com/v1");
    EXPECT_EQ(outcome(*custom), "A plain answer.");
    EXPECT_EQ(standIn->seen().size(), 3U) << "max_tokens, then temperature, then the answer";
    EXPECT_EQ(outcome(*custom), "A plain answer.");
    EXPECT_EQ(standIn->seen().size(), 4U) << "the adaptation was not remembered";
    const json body = standIn->seen().back().body;
    EXPECT_FALSE(body.contains("temperature"));
    EXPECT_EQ(body["max_completion_tokens"], reasoningMaxTokens);
}

TEST_F(ProviderStandInTest, HowAnswersEndIsToldTruly) {
    const std::string thoughtOnly =
        "error: The model spent its whole length limit thinking and gave no answer.";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"think", "Plants make food from light."},
        {"think-forever", thoughtOnly},
        {"reasoning-only", thoughtOnly},
        {"cut", "Plants make food from\n\n(Cut short: the answer reached its length limit.)"},
        {"filtered", "error: The provider withheld the answer: its content filter stopped it."},
        {"held-open", "Whole answer."},
        {"keep-alive", "error: The request took longer than 3 seconds and was ended."},
        {"rate-limited", "error: The provider is receiving too many requests. Try again in 30 seconds. (Groq "
                         "says: Rate limit reached for requests)"},
        {"context", "error: The selected text is too long for this model. Select less text. (Groq says: This "
                    "model's maximum context length is 8192 tokens.)"},
        {"overloaded",
         "error: The provider has a problem right now. Try again later. (Groq says: The model is "
         "overloaded.)"},
        {"credit", "error: The provider account has no credit left. (Groq says: Insufficient credits.)"},
    };
    for (const auto& [model, expected] : cases) {
        auto groq = service(ModelProvider::groq, model);
        const auto started = std::chrono::steady_clock::now();
        const std::string got = outcome(*groq);
        EXPECT_EQ(got.substr(0, expected.size()), expected) << model << ": " << got;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 4s) << model;
    }
    auto wrongKey = service(ModelProvider::xAI, "grok-4-fast-non-reasoning");
    ASSERT_TRUE(APIKeyStore(*secrets).save("sk-wrong", ModelProvider::xAI));
    EXPECT_EQ(outcome(*wrongKey),
              "error: The provider did not accept the API key. Check it in Settings. (xAI "
              "says: Incorrect API key provided.)");
}

TEST_F(ProviderStandInTest, ThinkingShowsAsThinkingAndBandsWorkOnTheAnswerOnly) {
    auto groq = service(ModelProvider::groq, "think");
    std::mutex mutex;
    std::vector<std::string> partials;
    const ExplainResult result =
        test::explainNow(*groq, "Photosynthesis", std::nullopt, 5, [&](const std::string& text) {
            const std::lock_guard lock(mutex);
            partials.push_back(text);
        });
    ASSERT_TRUE(result.ok()) << result.errorMessage();
    EXPECT_EQ(result.answer(), "Plants make food light.") << "the telegraphic form of the answer alone";
    const std::lock_guard lock(mutex);
    for (const std::string& partial : partials) {
        EXPECT_EQ(partial.find("user"), std::string::npos) << "the monologue flashed by: " << partial;
    }
    ASSERT_FALSE(partials.empty());
    EXPECT_EQ(partials.front(), "Thinking\u2026");
}

TEST_F(ProviderStandInTest, AHugeAnswerIsCappedWithANote) {
    auto openRouter = service(ModelProvider::openRouter, "huge");
    const std::string got = outcome(*openRouter);
    EXPECT_LT(got.size(), answerCapBytes + 100);
    EXPECT_NE(got.find("(Cut short: the answer was longer than 64 KB.)"), std::string::npos)
        << got.substr(0, 80);
}

TEST_F(ProviderStandInTest, SettingsListsTheProvidersOwnModelsOrSaysWhyNot) {
    CurlTransport transport;
    EXPECT_EQ(providerModels(transport, {ModelProvider::openAI, "https://api.openai.com/v1/", goodKey}),
              (json{{"ok", true}, {"models", {"gpt-5-mini", "gpt-5.4-mini"}}}));
    EXPECT_EQ(
        providerModels(transport, {ModelProvider::gemini, defaults(ModelProvider::gemini).baseURL, goodKey}),
        (json{{"ok", true}, {"models", {"gemini-2.5-flash", "gemini-2.5-pro"}}}));
    EXPECT_EQ(standIn->seen().back().path, "/v1beta/openai/models");
    EXPECT_EQ(
        providerModels(transport, {ModelProvider::groq, defaults(ModelProvider::groq).baseURL, "sk-bad"}),
        (json{{"ok", false},
              {"error", "The provider did not accept the API key. Check it in Settings. (Groq says: "
                        "Incorrect API key provided.)"}}));
}

// ---- The built-in port ---------------------------------------------------------------------------------

std::unique_ptr<LocalServer> builtIn(std::shared_ptr<HttpTransport> transport) {
    LocalServer::Options options;
    options.transport = std::move(transport);
    options.launcher = std::make_shared<PosixProcessLauncher>();
    options.key = [] { return std::string("the-real-runtime-key"); };
    options.portIsUsers = [] { return loopbackPortIsUsers(7332); };
    return std::make_unique<LocalServer>(std::move(options));
}

std::string failureOf(LocalServer& server) {
    const Result<void> ready = server.ensureServer(RuntimeConfig{});
    return ready ? "no failure" : ready.failure().message;
}

TEST_F(ProviderStandInTest, ASquatterOnTheBuiltInPortGetsNothing) {
    const auto transport = std::make_shared<CurlTransport>();
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
    const auto started = std::chrono::steady_clock::now();
    while (loopbackListenerOwners(7332).empty() && std::chrono::steady_clock::now() - started < 10s) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(loopbackListenerOwners(7332), std::vector<uid_t>{65534});
    EXPECT_TRUE(builtIn(transport)->healthIsReady()) << "the squatter looks healthy";
    EXPECT_EQ(failureOf(*builtIn(transport)), "Another program is using port 7332.");
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
