// The built-in model against the real llama-server and the generated test model, and against small
// stand-ins on its port. Each test process runs in a network namespace of its own, so port 7332 is ours.
#include "server/LocalServer.h"
#include "answer/ChatRequest.h"
#include "answer/ModelService.h"
#include "download/ModelCatalogue.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/ListeningSocket.h"
#include "platform/linux/PosixProcessLauncher.h"
#include "server/RuntimeKey.h"
#include "tests/support/Files.h"
#include "tests/support/LocalOnlyService.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace ulvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::CannedReply;
using test::LoopbackServer;
using test::RecordedRequest;

std::string networkProblem; // set once in main, before any thread

using test::readFile;

// The message of the failure that `act` returns, or "no failure".
template <class Act> std::string failureOf(const Act& act) {
    const auto result = act();
    return result ? "no failure" : result.failure().message;
}

// The real launcher, remembering every child so the test can end them: a launched server is
// detached and would otherwise outlive the test.
class RecordingLauncher final : public ProcessLauncher {
public:
    ~RecordingLauncher() override {
        for (int pid : pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0); // once reaped, the port is free for the next test
        }
    }
    Result<std::unique_ptr<ChildProcess>> launch(const LaunchRequest& request) override {
        auto child = real.launch(request);
        if (child) {
            pids.push_back((*child)->pid());
        }
        return child;
    }
    Result<ProcessOutput> run(const LaunchRequest& request, std::chrono::milliseconds limit) override {
        return real.run(request, limit);
    }
    Environment currentEnvironment() const override { return real.currentEnvironment(); }
    std::string machine() const override { return real.machine(); }
    bool isExecutableFile(const fs::path& path) const override { return real.isExecutableFile(path); }

    PosixProcessLauncher real;
    std::vector<int> pids;
};

// A runtime directory of the staged layout, pointing at the built server and the test model.
class ScratchRuntime {
public:
    explicit ScratchRuntime(bool withModel = true) {
        fs::create_directories(root / "models");
        fs::create_symlink(fs::path(ULVO_RUNTIME_STAGE_DIR) / "llama-server", root / "llama-server");
        fs::create_directory_symlink(fs::path(ULVO_RUNTIME_STAGE_DIR) / "lib", root / "lib");
        if (withModel) {
            fs::create_symlink(ULVO_TEST_MODEL, root / "models" / "test.gguf");
        }
        writeConfig({{"llamaServer", "llama-server"},
                     {"model", "models/test.gguf"},
                     {"modelAlias", "test-alias"},
                     {"contextSize", 2048}});
    }
    void writeConfig(const nlohmann::json& config) const {
        std::ofstream(root / "runtime-config.json") << config.dump();
    }

    test::ScratchFolder folder;
    const fs::path& root = folder.path();
};

// Every request's URL, for what happened on the way to an answer.
class UrlRecorder final : public HttpTransport {
public:
    Result<HttpResponse> send(const HttpRequest& request) override {
        urls.push_back(request.url);
        return inner.send(request);
    }
    CurlTransport inner;
    std::vector<std::string> urls;
};

class LocalServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!networkProblem.empty() && !loopbackListenerOwners(7332).empty()) {
            GTEST_SKIP() << "no private network namespace (" << networkProblem
                         << ") and 127.0.0.1:7332 is in use by a server this test did not start";
        }
    }

    std::unique_ptr<LocalServer> makeServer(std::optional<fs::path> root,
                                            std::chrono::milliseconds limit = 30s,
                                            std::optional<fs::path> promptCache = std::nullopt,
                                            std::shared_ptr<HttpTransport> through = nullptr) {
        LocalServer::Options options;
        options.promptCacheFolder = std::move(promptCache);
        options.runtimeRoot = std::move(root);
        options.transport = through ? std::move(through) : transport;
        options.launcher = launcher;
        options.responseLanguage = [] { return std::string("en-US"); };
        options.key = [this] { return serverKey; };
        options.readinessLimit = limit;
        return std::make_unique<LocalServer>(std::move(options));
    }

    // Until the killed child has died (a zombie or gone): a child still exiting counts as running, and
    // a running child is not launched again.
    static void waitUntilDead(int pid) {
        EXPECT_TRUE(test::eventually([pid] {
            const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
            const std::size_t close = stat.rfind(')');
            return stat.empty() || (close != std::string::npos && stat.compare(close + 1, 3, " Z ") == 0);
        }));
    }

    std::shared_ptr<CurlTransport> transport = std::make_shared<CurlTransport>();
    std::shared_ptr<RecordingLauncher> launcher = std::make_shared<RecordingLauncher>();
    std::string serverKey = "test-key-123";
};

// The model the user downloaded, not one in the runtime's own folder: which file counts is
// LocalRuntime's test, that the server loads it is this one's. The band's prompt is kept on disk and
// restored by the next server.
TEST_F(LocalServerTest, ColdStartAnswersThroughTheServiceAndTheNextServerRestoresTheBandsPrompt) {
    ScratchRuntime runtime(false);
    const fs::path download = runtime.root / "data" / "ulvo" / "models" / "test.gguf";
    fs::create_directories(download.parent_path());
    fs::create_symlink(ULVO_TEST_MODEL, download);
    ::setenv("XDG_DATA_HOME", (runtime.root / "data").c_str(), 1); // each test is a process of its own
    const fs::path folder = runtime.root / "prompt-cache";
    auto local = std::shared_ptr<LocalServer>(makeServer(runtime.root, 30s, folder));
    ModelService service(test::localOnlyDependencies(transport, local));
    const std::string text = "The mitochondria is the powerhouse of the cell.";

    const ExplainResult result = test::explainNow(service, text, std::nullopt, 50);
    ASSERT_TRUE(result.ok()) << result.errorMessage();
    EXPECT_FALSE(result.answer().empty());

    ASSERT_NE(local->llamaProcess(), nullptr);
    const std::string process = "/proc/" + std::to_string(local->llamaProcess()->pid());
    EXPECT_EQ(readFile(process + "/cmdline").find(serverKey), std::string::npos)
        << "the key is readable by every local user on a command line";
    // The CPU backends are found in the working directory, the best for this CPU chosen among them.
    EXPECT_EQ(fs::read_symlink(process + "/cwd"), fs::canonical(runtime.root / "lib" / launcher->machine()));
    ASSERT_TRUE(local->device());
    EXPECT_EQ(ComputeDevice::readRecord(), local->device()->label) << "Settings shows what runs the model";

    // The port is open to every local user: without this user's key the server answers nothing.
    const auto props = [this](const std::string& key) {
        HttpRequest request;
        request.url = "http://127.0.0.1:7332/props";
        request.headers = {{"Authorization", "Bearer " + key}};
        return transport->send(request).valueOr(HttpResponse{});
    };
    EXPECT_EQ(props("wrong").status, 401);
    const std::string settings = props(serverKey).body;
    EXPECT_EQ(nlohmann::json::parse(settings, nullptr, false)["default_generation_settings"]["n_ctx"], 2048)
        << "the configuration's context size: " << settings;

    ASSERT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    const int pid = local->llamaProcess()->pid();
    ::kill(pid, SIGKILL);
    waitUntilDead(pid);
    auto recorder = std::make_shared<UrlRecorder>();
    auto next = makeServer(runtime.root, 30s, folder, recorder);
    next->startEarly(50); // the card opened: the server starts, and gets the band's prompt from disk
    ASSERT_NE(next->llamaProcess(), nullptr);
    EXPECT_EQ(std::count(recorder->urls.begin(), recorder->urls.end(),
                         "http://127.0.0.1:7332/slots/0?action=restore"),
              1);
    EXPECT_EQ(std::count(recorder->urls.begin(), recorder->urls.end(), LocalServer::chatURL), 0)
        << "nothing computed again";

    // The first explanation finds the prompt in the server's cache.
    ChatExchange exchange;
    exchange.url = LocalServer::chatURL;
    exchange.bearer = serverKey;
    exchange.model = "test-alias";
    exchange.setMessages(text, std::nullopt, 50, "en-US");
    HttpRequest request = buildChatRequest(exchange);
    nlohmann::json body = nlohmann::json::parse(request.body);
    body["stream"] = false;
    body["max_tokens"] = 2;
    request.body = body.dump();
    const Result<HttpResponse> reply = recorder->inner.send(request);
    ASSERT_TRUE(reply && reply->status == 200);
    const nlohmann::json usage = nlohmann::json::parse(reply->body)["usage"];
    EXPECT_GT(usage["prompt_tokens_details"]["cached_tokens"].get<int>(),
              usage["prompt_tokens"].get<int>() / 2)
        << reply->body;
}

// One server's life: reuse by a later run of the program, then a kill mid-answer and a new server. That
// a replaced request ends at once is the answer service's test against a loopback stand-in.
TEST_F(LocalServerTest, TheRealServerIsReusedAndIsReplacedWhenKilledMidAnswer) {
    ScratchRuntime runtime;
    auto local = makeServer(runtime.root);
    EXPECT_FALSE(local->localAnswer("Ice floats.", std::nullopt, 50).value().empty());
    ASSERT_EQ(launcher->pids.size(), 1U);

    auto laterRun = makeServer(runtime.root);
    EXPECT_FALSE(laterRun->localAnswer("Ice floats.", std::string("Why?"), 70).value().empty());
    EXPECT_EQ(launcher->pids.size(), 1U);
    EXPECT_EQ(laterRun->llamaProcess(), nullptr);

    const int pid = launcher->pids.front();
    const Result<std::string> cut = local->streamedLocalAnswer(
        std::string(2000, 'x'), std::nullopt, 95, [pid](const std::string&) { ::kill(pid, SIGKILL); });
    ASSERT_FALSE(cut.ok());
    EXPECT_NE(cut.failure().message, "The local model did not respond.") << "the transport's own words";
    waitUntilDead(pid);
    EXPECT_FALSE(local->localAnswer("Salt dissolves in water.", std::nullopt, 40).value().empty());
    EXPECT_EQ(launcher->pids.size(), 2U);
}

TEST_F(LocalServerTest, MissingPiecesGiveTheirMessagesUnlessAServerAlreadyAnswers) {
    EXPECT_EQ(failureOf([&] { return makeServer(std::nullopt)->localAnswer("t", std::nullopt, 50); }),
              "The built-in local model is missing.");
    ScratchRuntime noModel(false);
    EXPECT_EQ(failureOf([&] { return makeServer(noModel.root)->localAnswer("t", std::nullopt, 50); }),
              "The built-in local model is incomplete.");
    EXPECT_TRUE(launcher->pids.empty());
    EXPECT_EQ(failureOf([&] { return makeServer(std::nullopt)->ensureServer(RuntimeConfig{}); }),
              "The built-in runtime is missing.");

    // A config without its model alias does not decode; the decoding error passes up unchanged.
    noModel.writeConfig({{"llamaServer", "llama-server"}, {"model", "m"}, {"contextSize", 1}});
    EXPECT_NE(failureOf([&] {
                  return makeServer(noModel.root)->localAnswer("t", std::nullopt, 50);
              }).find("modelAlias"),
              std::string::npos);

    // Whatever answers health on the port and takes this user's key is used, runtime files or not;
    // a server that refuses the key (another user's) is said to hold the port, and nothing is sent.
    noModel.writeConfig(
        {{"llamaServer", "llama-server"}, {"model", "m"}, {"modelAlias", "a"}, {"contextSize", 1}});
    std::atomic<bool> ownKey{true};
    CannedReply chat{200, test::chatReply("from the stranger")};
    LoopbackServer stranger(
        [&](const RecordedRequest& request) {
            if (request.path == "/health") {
                return CannedReply{204, ""};
            }
            if (!ownKey || request.header("Authorization") != "Bearer test-key-123") {
                return CannedReply{401, "{}"};
            }
            return request.path == "/v1/models" ? CannedReply{200, "{}"} : chat;
        },
        7332);
    EXPECT_TRUE(makeServer(std::nullopt)->ensureServer(RuntimeConfig{}));
    EXPECT_EQ(makeServer(noModel.root)->localAnswer("t", std::nullopt, 50).value(), "from the stranger")
        << "no model file needed";
    EXPECT_EQ(stranger.requests().end()[-2].path, "/v1/models");

    // Replies of the wrong shape get the built-in route's own words (every shape is the cloud route's
    // table); the request names the configuration's alias, at the one temperature of every level.
    const auto followUp = [&] {
        return failureOf([&] { return makeServer(noModel.root)->localAnswer("t", std::string(), 5); });
    };
    chat = {201, test::chatReply("valid but 201")};
    EXPECT_EQ(followUp(), "The built-in model could not answer. Please try again.");
    chat = {200, R"({"choices": [{"message": {"content": 7}}]})"};
    EXPECT_EQ(followUp(), "The built-in model returned an unreadable answer.");
    const auto body = nlohmann::json::parse(stranger.requests().back().body);
    EXPECT_EQ(body["model"], "a");
    EXPECT_DOUBLE_EQ(body["temperature"].get<double>(), 0.35);

    ownKey = false;
    EXPECT_EQ(failureOf([&] { return makeServer(noModel.root)->localAnswer("t", std::nullopt, 50); }),
              "Another program is using port 7332.")
        << "a server refusing the key answered";
    EXPECT_EQ(stranger.requests().back().path, "/v1/models");
    EXPECT_TRUE(launcher->pids.empty());
}

TEST(RuntimeKeyTest, EachUserGetsOneKeyOfTheirOwnOnlyTheyCanRead) {
    const test::ScratchFolder root;
    const auto modeOf = [](const fs::path& path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0U;
    };

    // Made on first use in a folder that did not exist, 128 bits in hex, mode 0600; the same after.
    const std::string first = RuntimeKey::ofUser(root / "one").value();
    EXPECT_EQ(first.size(), 32U);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos) << first;
    EXPECT_EQ(modeOf(root / "one" / RuntimeKey::fileName), 0600U);
    EXPECT_EQ(RuntimeKey::ofUser(root / "one").value(), first);
    EXPECT_NE(RuntimeKey::ofUser(root / "two").value(), first) << "two users share a key";

    // Processes starting together agree on one key.
    std::vector<std::string> raced(8);
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < raced.size(); ++i) {
            threads.emplace_back(
                [&raced, &root, i] { raced[i] = RuntimeKey::ofUser(root / "raced").value(); });
        }
    }
    EXPECT_EQ(std::count(raced.begin(), raced.end(), raced[0]), 8) << "the racers ended with different keys";
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "raced"), fs::directory_iterator()), 1)
        << "a temporary file was left behind";

    // What others can read, or what is no key, is replaced; a folder that cannot be made is said.
    const fs::path exposed = root / "exposed" / RuntimeKey::fileName;
    fs::create_directories(exposed.parent_path());
    std::ofstream(exposed) << first << "\n";
    fs::permissions(exposed, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    EXPECT_NE(RuntimeKey::ofUser(exposed.parent_path()).value(), first);
    EXPECT_EQ(modeOf(exposed), 0600U);
    std::ofstream(root / "file") << "in the way";
    EXPECT_FALSE(RuntimeKey::ofUser(root / "file" / "ulvo").ok());
}

// A server that ends at start is noticed at once, not at the 30-second limit, and told apart from a port
// that another program holds; one that keeps running but never answers waits the whole limit (slow).
TEST_F(LocalServerTest, ServersThatEndAtStartOrNeverBecomeHealthyAreToldApart) {
    ScratchRuntime runtime;
    const auto failure = [&](const std::string& script) {
        fs::remove(runtime.root / "llama-server");
        std::ofstream(runtime.root / "llama-server") << "#!/bin/sh\n" << script << "\n";
        fs::permissions(runtime.root / "llama-server", fs::perms::owner_all);
        return failureOf(
            [&] { return makeServer(runtime.root)->ensureServer(*RuntimeConfig::load(runtime.root)); });
    };
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure("exit 1"), "The built-in model could not start.");
    LoopbackServer stranger([](const RecordedRequest&) { return CannedReply{503, "busy"}; }, 7332);
    EXPECT_EQ(failure("exit 1"), "Another program is using port 7332.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s) << "the limit is 30 s";
    EXPECT_EQ(launcher->pids.size(), 2U) << "the stand-in's 503 is not ready, so the server was launched";

    started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure("exec sleep 120"), "The built-in model took too long to start.");
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 29s);
    EXPECT_LT(waited, 40s);
}

TEST(LocalServerEnvironment, FollowsTheMachineAndTheDeviceChoice) {
    // x86_64's environment is checked on a running server above.
    const Environment base = {{"PATH", "/bin"}, {"LD_LIBRARY_PATH", "/old"}, {"GGML_BACKEND_PATH", "/x.so"}};
    EXPECT_EQ(LocalServer::serverEnvironment(base, "/rt", "aarch64"),
              (Environment{{"PATH", "/bin"},
                           {"LD_LIBRARY_PATH", "/rt/lib/aarch64"},
                           {"GGML_BACKEND_PATH", "/rt/lib/aarch64/vulkan/libggml-vulkan.so"}}));
    EXPECT_EQ(LocalServer::serverEnvironment(base, "/rt", "aarch64", std::nullopt, false),
              (Environment{{"PATH", "/bin"}, {"LD_LIBRARY_PATH", "/rt/lib/aarch64"}}))
        << "CPU only: no GPU backend is loaded at all";
}

// Mesa's software Vulkan driver stands in for a GPU: the whole road, device named.
TEST_F(LocalServerTest, AnswersThroughTheVulkanBackendAndNamesTheDevice) {
    if (!fs::exists(LocalServer::vulkanBackend(ULVO_RUNTIME_STAGE_DIR, launcher->machine()))) {
        GTEST_SKIP() << "the runtime was built without its Vulkan backend (ULVO_LLAMA_VULKAN=0)";
    }
    std::optional<fs::path> lavapipe;
    for (const auto& entry : fs::directory_iterator("/usr/share/vulkan/icd.d")) {
        if (entry.path().filename().string().rfind("lvp_icd", 0) == 0) {
            lavapipe = entry.path();
        }
    }
    ASSERT_TRUE(lavapipe) << "Mesa's lavapipe (mesa-vulkan-drivers) is missing";
    ::setenv("VK_ICD_FILENAMES", lavapipe->c_str(), 1); // each test is a process of its own
    ::setenv("GGML_VK_VISIBLE_DEVICES", "0", 1);        // a CPU-type device is otherwise passed over
    ScratchRuntime runtime;
    auto local = makeServer(runtime.root, 300s);
    std::string answer;
    ASSERT_NO_THROW(answer = local->localAnswer("Ice floats on water.", std::nullopt, 50).value());
    EXPECT_FALSE(answer.empty());
    ASSERT_TRUE(local->device());
    EXPECT_TRUE(local->device()->gpu);
    EXPECT_EQ(local->device()->label.rfind("Vulkan: llvmpipe", 0), 0U) << local->device()->label;
    const std::string command =
        readFile("/proc/" + std::to_string(local->llamaProcess()->pid()) + "/cmdline");
    EXPECT_EQ(command.find("--device"), std::string::npos) << "all layers may go to the GPU";
}

TEST(ComputeDeviceListing, TheFirstListedDeviceIsNamedWithoutItsMemory) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"Available devices:\n  (none)\n", std::nullopt},
        {"Available devices:\n  Vulkan0: AMD Radeon RX 6600 (RADV NAVI23) (8176 MiB, 7900 MiB free)\n"
         "  Vulkan1: llvmpipe (LLVM 15.0.6, 256 bits) (7929 MiB, 7929 MiB free)\n",
         "Vulkan: AMD Radeon RX 6600 (RADV NAVI23)"},
    };
    for (const auto& [listing, expected] : cases) {
        const std::optional<ComputeDevice> device = ComputeDevice::firstListed(listing);
        EXPECT_EQ(device ? std::optional(device->label) : std::nullopt, expected) << listing;
    }
    EXPECT_EQ(ComputeDevice::cpu().label.rfind("CPU (", 0), 0U) << ComputeDevice::cpu().label;
}

TEST(RuntimeConfigDecoding, RequiredKeysAndTypesAreEnforced) {
    const std::string keys = R"({"llamaServer":"s","model":"m","modelAlias":"a","contextSize":4096)";
    const RuntimeConfig full =
        RuntimeConfig::decode(keys + R"(,"appleFoundationRuntime":"t","extra":1})").value();
    EXPECT_EQ(full.appleFoundationRuntime, "t");
    EXPECT_EQ(full.contextSize, 4096);
    for (const std::string& absent : {keys + "}", keys + R"(,"appleFoundationRuntime":null})"}) {
        EXPECT_FALSE(RuntimeConfig::decode(absent)->appleFoundationRuntime) << absent;
    }
    for (const char* bad :
         {R"({"llamaServer":"s","model":"m","contextSize":1})",
          R"({"llamaServer":"s","model":"m","modelAlias":"a","contextSize":1.5})", R"([1])", "not json"}) {
        EXPECT_FALSE(RuntimeConfig::decode(bad).ok()) << bad;
    }
}

TEST(ModelCatalogueDecoding, TheShippedCatalogueAndEveryRefusal) {
    const ModelCatalogue shipped = ModelCatalogue::load(ULVO_RUNTIME_STAGE_DIR).value();
    EXPECT_EQ(shipped.defaultModel().url.rfind("https://", 0), 0U);
    const auto catalogue = [](const std::string& entry) {
        return R"({"default":"m","models":[{"id":"m","name":"M","file":"m.gguf","url":"https://x/m.gguf",)" +
               entry + "}]}";
    };
    EXPECT_EQ(ModelCatalogue::decode(catalogue(R"("bytes":5,"sha256":"AB)" + std::string(62, 'c') + "\""))
                  ->models[0]
                  .sha256,
              "ab" + std::string(62, 'c'));
    for (
        const std::string& bad : {
            catalogue(R"("bytes":0)"),
            // Found by fuzzing: a size too large for an integer arrives as a floating-point number.
            catalogue(R"("bytes":80611111111111111111111111111111111111111111111111058240)"),
            catalogue(R"("bytes":18446744073709551615)"),
            catalogue(R"("bytes":5,"sha256":"xyz")"),
            std::string(
                R"({"default":"other","models":[{"id":"m","name":"M","file":"m.gguf","url":"https://x","bytes":1}]})"),
            std::string(
                R"({"default":"m","models":[{"id":"m","name":"M","file":"../m.gguf","url":"https://x","bytes":1}]})"),
            std::string(
                R"({"default":"m","models":[{"id":"m","name":"M","file":"m.gguf","url":"file:///m","bytes":1}]})"),
        }) {
        EXPECT_FALSE(ModelCatalogue::decode(bad).ok()) << bad;
    }
}

} // namespace
} // namespace ulvo

int main(int argc, char** argv) {
    // The launched servers inherit this: one compute thread each, because spinning worker threads on a
    // busy two-core machine make a start or an answer take tens of seconds.
    ::setenv("LLAMA_ARG_THREADS", "1", 0);
    ulvo::networkProblem = ulvo::test::enterPrivateNetwork();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
