// The built-in model's download and install, as Settings and the card use them, against a loopback
// server that serves a model with Range and the hub's X-Linked-Etag, and serves each fault.
#include "download/ModelInstaller.h"
#include "download/ModelCatalogue.h"
#include "platform/linux/CurlTransport.h"
#include "tests/support/Files.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/Waiting.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <mutex>

#include <unistd.h>

namespace ulvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Phase = ModelInstallState::Phase;
using test::CannedReply;
using test::LoopbackServer;
using test::RecordedRequest;

std::string sha256Hex(const std::string& data) {
    gchar* hex =
        g_compute_checksum_for_string(G_CHECKSUM_SHA256, data.data(), static_cast<gssize>(data.size()));
    std::string result(hex);
    g_free(hex);
    return result;
}

class ModelInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root / "runtime" / "models");
        std::ofstream(root / "runtime" / "runtime-config.json")
            << R"({"llamaServer":"llama-server","model":"models/m.gguf","modelAlias":"m","contextSize":2048,"apiKey":"k"})";
        server = std::make_unique<LoopbackServer>(
            [this](const RecordedRequest& request) { return serve(request); });
        writeCatalogue("/model");
        ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1); // each test is a process of its own
    }
    void TearDown() override { installer.reset(); }

    void writeCatalogue(const std::string& path) {
        std::ofstream(root / "runtime" / "models.json")
            << nlohmann::json{{"default", "m"},
                              {"models",
                               {{{"id", "m"},
                                 {"name", "Test model"},
                                 {"file", "m.gguf"},
                                 {"url", server->baseURL() + path},
                                 {"bytes", payload.size()}}}}};
    }

    // /model: the hub's redirect with the hash; /blob: the bytes, with Range; /slow: a byte trickle.
    CannedReply serve(const RecordedRequest& request) {
        const std::string path = request.path;
        if (path == "/model" || path == "/badhash") {
            CannedReply reply{302, ""};
            reply.headers = {{"Location", "/blob"},
                             {"X-Linked-Etag",
                              "\"" + (path == "/model" ? sha256Hex(payload) : std::string(64, 'a')) + "\""}};
            return reply;
        }
        if (path == "/html") {
            return CannedReply{200, "<html>sign in</html>", "text/html"};
        }
        if (path != "/blob" && path != "/slow") {
            return CannedReply{404, "missing", "text/plain"};
        }
        const std::string range = request.header("Range");
        const std::size_t start = range.empty() ? 0 : std::stoul(range.substr(range.find('=') + 1));
        CannedReply reply{start > 0 ? 206 : 200, "", "application/octet-stream"};
        if (start > 0) {
            reply.headers = {{"Content-Range", "bytes " + std::to_string(start) + "-" +
                                                   std::to_string(payload.size() - 1) + "/" +
                                                   std::to_string(payload.size())}};
        }
        const std::string body = payload.substr(start);
        const std::size_t piece = path == "/slow" ? std::size_t{64} * 1024 : body.size();
        for (std::size_t at = 0; at < body.size(); at += piece) {
            reply.chunks.push_back({path == "/slow" ? 40ms : 0ms, body.substr(at, piece)});
        }
        return reply;
    }

    void makeInstaller() {
        ModelInstaller::Options options;
        options.runtimeRoot = root / "runtime";
        options.transport = std::make_shared<CurlTransport>();
        options.changed = [this](const ModelInstallState& state) {
            const std::lock_guard lock(mutex);
            states.push_back(state);
        };
        installer = std::make_unique<ModelInstaller>(std::move(options));
    }

    // Until the installer has published a state of this phase.
    ModelInstallState waitFor(Phase phase) {
        std::optional<ModelInstallState> seen;
        EXPECT_TRUE(test::eventually([&] {
            const std::lock_guard lock(mutex);
            const auto found = std::find_if(states.rbegin(), states.rend(),
                                            [&](const ModelInstallState& s) { return s.phase == phase; });
            seen = found != states.rend() ? std::optional(*found) : std::nullopt;
            states.clear();
            return seen.has_value();
        })) << "never "
            << phaseName(phase);
        return seen.value_or(ModelInstallState{});
    }

    fs::path installed() const { return root / "data" / "ulvo" / "models" / "m.gguf"; }

    std::string payload = "GGUF" + std::string(3 << 20, 'w');
    const test::ScratchFolder root;
    std::unique_ptr<LoopbackServer> server;
    std::unique_ptr<ModelInstaller> installer;
    std::mutex mutex;
    std::vector<ModelInstallState> states;
};

TEST_F(ModelInstallerTest, OneDownloadAtATimeResumedAfterACancelAndVerifiedByTheHubsHash) {
    writeCatalogue("/slow");
    makeInstaller();
    EXPECT_EQ(installer->state().phase, Phase::notInstalled);
    EXPECT_EQ(installer->state().bytes, static_cast<std::int64_t>(payload.size()));
    ASSERT_TRUE(installer->download());
    EXPECT_FALSE(installer->download()) << "a second click started a second download";
    const fs::path part = installed().string() + ".part";
    ASSERT_TRUE(test::eventually([&] {
        std::error_code missing;
        const auto size = fs::file_size(part, missing);
        return !missing && size >= std::uintmax_t{256} * 1024;
    }));
    installer->cancel();
    waitFor(Phase::notInstalled);
    const auto kept = fs::file_size(part);
    ASSERT_GT(kept, 0U);

    // The program killed and started again: a new installer resumes from the part.
    installer.reset();
    writeCatalogue("/model");
    makeInstaller();
    ASSERT_TRUE(installer->download());
    EXPECT_EQ(waitFor(Phase::ready).name, "Test model");
    EXPECT_EQ(server->requests().back().header("Range"), "bytes=" + std::to_string(kept) + "-");
    std::ifstream in(installed(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), payload);

    installer->remove();
    EXPECT_EQ(installer->state().phase, Phase::notInstalled);
    EXPECT_FALSE(fs::exists(installed()));
}

TEST_F(ModelInstallerTest, FaultsAreSaidAndLeaveNoModelWhereTheServerWouldLoadIt) {
    makeInstaller();
    for (const auto& [path, message] :
         std::vector<std::pair<std::string, std::string>>{{"/missing", "the server answered 404"},
                                                          {"/html", "a web page, not a model"},
                                                          {"/badhash", "did not match its checksum"}}) {
        writeCatalogue(path);
        ASSERT_TRUE(installer->download());
        const ModelInstallState failed = waitFor(Phase::failed);
        EXPECT_NE(failed.message.find(message), std::string::npos) << path << ": " << failed.message;
        EXPECT_FALSE(fs::exists(installed())) << path;
        EXPECT_FALSE(fs::exists(installed().string() + ".part")) << path;
    }

    // A chosen file that is not a model; then one that is.
    const fs::path notModel = root / "notes.txt";
    std::ofstream(notModel) << "not a model";
    ASSERT_TRUE(installer->useFile(notModel));
    EXPECT_NE(waitFor(Phase::failed).message.find("not a GGUF model"), std::string::npos);
    const fs::path model = root / "chosen.gguf";
    std::ofstream(model, std::ios::binary) << payload;
    ASSERT_TRUE(installer->useFile(model));
    waitFor(Phase::ready);
    EXPECT_EQ(fs::file_size(installed()), payload.size());
}

TEST_F(ModelInstallerTest, ADiskThatFillsMidDownloadIsSaidAndNoModelIsInPlace) {
    // A small file system of its own for the models folder, filled once the download runs.
    const fs::path data = root / "data";
    fs::create_directories(data);
    if (::geteuid() != 0 ||
        std::system(("mount -t tmpfs -o size=80m ulvo-test " + data.string()).c_str()) != 0) {
        GTEST_SKIP() << "needs root to mount a small file system";
    }
    struct Unmount {
        fs::path at;
        ~Unmount() { static_cast<void>(std::system(("umount -l " + at.string()).c_str())); }
    } unmount{data};
    writeCatalogue("/slow");
    makeInstaller();
    ASSERT_TRUE(installer->download());
    const fs::path part = installed().string() + ".part";
    ASSERT_TRUE(test::eventually([&] { return fs::exists(part); }));
    {
        std::ofstream filler(data / "filler", std::ios::binary);
        const std::string block(1 << 20, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
    }
    const ModelInstallState failed = waitFor(Phase::failed);
    EXPECT_NE(failed.message.find("disk may be full"), std::string::npos) << failed.message;
    EXPECT_FALSE(fs::exists(installed()));
    installer.reset();
}

} // namespace
} // namespace ulvo
