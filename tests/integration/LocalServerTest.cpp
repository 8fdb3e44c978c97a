// The built-in model against the real llama-server and the generated test model, and against small
// stand-ins on its port. Each test process runs in a network namespace of its own, so port 7332 is ours.
#include "server/LocalServer.h"
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
                                            std::optional<fs::path> promptCache = std::nullopt) {
        LocalServer::Options options;
        options.promptCacheFolder = std::move(promptCache);
        options.runtimeRoot = std::move(root);
        options.transport = transport;
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
// LocalRuntime's test, that the server loads it is this one's. The band's prompt is kept on disk.
TEST_F(LocalServerTest, ColdStartAnswersThroughTheServiceWithTheKeyKeptOffTheCommandLine) {
    ScratchRuntime runtime(false);
    const fs::path download = runtime.root / "data" / "ulvo" / "models" / "test.gguf";
    fs::create_directories(download.parent_path());
    fs::create_symlink(ULVO_TEST_MODEL, download);
    ::setenv("XDG_DATA_HOME", (runtime.root / "data").c_str(), 1); // each test is a process of its own
    ::setenv("GGML_BACKEND_PATH", "/nowhere/libggml-vulkan.so", 1);
    const fs::path folder = runtime.root / "prompt-cache";
    auto local = std::shared_ptr<LocalServer>(makeServer(runtime.root, 30s, folder));
    ModelService service(test::localOnlyDependencies(transport, local));
    const std::string text = "The mitochondria is the powerhouse of the cell.";

    const ExplainResult result = test::explainNow(service, text, std::nullopt, 50);
    ASSERT_TRUE(result.ok()) << result.errorMessage();

    ASSERT_NE(local->llamaProcess(), nullptr);
    const std::string process = "/proc/" + std::to_string(local->llamaProcess()->pid());
    EXPECT_EQ(readFile(process + "/cmdline").find(serverKey), std::string::npos)
        << "the key is readable by every local user on a command line";
    // The CPU backends are found in the working directory, the best for this CPU chosen among them.
    EXPECT_EQ(fs::read_symlink(process + "/cwd"), fs::canonical(runtime.root / "lib" / launcher->machine()));
    ASSERT_TRUE(local->device());
    EXPECT_EQ(ComputeDevice::readRecord(), local->device()->label) << "Settings shows what runs the model";
    if (!local->device()->gpu) { // no device listed: the CPU, and no GPU backend woken
        EXPECT_EQ(readFile(process + "/environ").find("GGML_BACKEND_PATH"), std::string::npos);
    }

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

    const int pid = launcher->pids.front();
    const Result<std::string> cut = local->streamedLocalAnswer(
        std::string(2000, 'x'), std::nullopt, 95, [pid](const std::string&) { ::kill(pid, SIGKILL); });
    ASSERT_FALSE(cut.ok());
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
    EXPECT_EQ(failureOf([&] { return makeServer(std::nullopt)->ensureServer(RuntimeConfig{}); }),
              "The built-in runtime is missing.");

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
    EXPECT_EQ(makeServer(noModel.root)->localAnswer("t", std::nullopt, 50).value(), "from the stranger")
        << "no model file needed";

    // Replies of the wrong shape get the built-in route's own words (every shape is the cloud route's
    // table); the request names the configuration's alias, at the one temperature of every level.
    chat = {200, R"({"choices": [{"message": {"content": 7}}]})"};
    EXPECT_EQ(failureOf([&] { return makeServer(noModel.root)->localAnswer("t", std::string(), 5); }),
              "The built-in model returned an unreadable answer.");
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

    // Made on first use in a folder that did not exist, mode 0600.
    const std::string first = RuntimeKey::ofUser(root / "one").value();
    EXPECT_EQ(modeOf(root / "one" / RuntimeKey::fileName), 0600U);
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

    started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure("exec sleep 120"), "The built-in model took too long to start.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 40s) << "the limit is 30 s";
}

// Mesa's software Vulkan driver stands in for a GPU: the whole road, the device found in the server's
// listing and named.
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
    EXPECT_FALSE(local->localAnswer("Ice floats on water.", std::nullopt, 50).value().empty());
    ASSERT_TRUE(local->device());
    EXPECT_EQ(local->device()->label.rfind("Vulkan: llvmpipe", 0), 0U) << local->device()->label;
}

TEST(RuntimeConfigDecoding, RequiredKeysAndTypesAreEnforced) {
    // What decodes is read by every runtime test; an absent tool is the on-device client's test.
    EXPECT_FALSE(
        RuntimeConfig::decode(
            R"({"llamaServer":"s","model":"m","modelAlias":"a","contextSize":1,"appleFoundationRuntime":null})")
            ->appleFoundationRuntime);
    for (const char* bad :
         {R"({"llamaServer":"s","model":"m","contextSize":1})",
          R"({"llamaServer":"s","model":"m","modelAlias":"a","contextSize":1.5})", "not json"}) {
        EXPECT_FALSE(RuntimeConfig::decode(bad).ok()) << bad;
    }
}

TEST(ModelCatalogueDecoding, TheShippedCatalogueAndEveryRefusal) {
    const ModelCatalogue shipped = ModelCatalogue::load(ULVO_RUNTIME_STAGE_DIR).value();
    EXPECT_EQ(shipped.defaultModel().url.rfind("https://", 0), 0U);
    const auto catalogue = [](const std::string& entry, const std::string& defaultId = "m") {
        return R"({"default":")" + defaultId + R"(","models":[{"id":"m","name":"M",)" + entry + "}]}";
    };
    const std::string named = R"("file":"m.gguf","url":"https://x/m.gguf",)";
    EXPECT_EQ(
        ModelCatalogue::decode(catalogue(named + R"("bytes":5,"sha256":"AB)" + std::string(62, 'c') + "\""))
            ->models[0]
            .sha256,
        "ab" + std::string(62, 'c'));
    for (const std::string& bad : {
             catalogue(named + R"("bytes":0)"),
             // Found by fuzzing: a size too large for an integer arrives as a floating-point number.
             catalogue(named + R"("bytes":80611111111111111111111111111111111111111111111111058240)"),
             catalogue(named + R"("bytes":18446744073709551615)"),
             catalogue(named + R"("bytes":5,"sha256":"xyz")"),
             catalogue(named + R"("bytes":1)", "other"),
             catalogue(R"("file":"../m.gguf","url":"https://x","bytes":1)"),
             catalogue(R"("file":"m.gguf","url":"file:///m","bytes":1)"),
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
