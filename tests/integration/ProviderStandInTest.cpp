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

CannedReply openAIError(int status, const std::string& message, const json& param, const std::string& code) {
    const json error = {
        {"message", message}, {"type", "invalid_request_error"}, {"param", param}, {"code", code}};
    return {status, json{{"error", error}}.dump()};
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
    CannedReply reply{200, "", "text/event-stream"};
    reply.chunks = test::chatStream({"A plain answer."}, 0ms);
    return reply;
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

    // The preset's own address (or `baseURL`) and this model.
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
        return std::make_unique<ModelService>(std::move(deps));
    }

    // The answer, or "error: " and the message.
    static std::string outcome(ModelService& service) {
        const ExplainResult result =
            test::explainNow(service, "Photosynthesis", std::nullopt, 70, [](auto&) {});
        return result.ok() ? result.answer() : "error: " + result.errorMessage();
    }

    json lastBody() const { return json::parse(standIn->requests().back().body); }

    std::shared_ptr<test::MemoryPreferenceStore> preferences =
        std::make_shared<test::MemoryPreferenceStore>();
    std::shared_ptr<test::MemorySecretStore> secrets = std::make_shared<test::MemorySecretStore>();
    std::unique_ptr<test::LoopbackServer> standIn;
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
