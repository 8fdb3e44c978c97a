// Streamed answers from the built-in runtime with a model of about one billion parameters (the test
// model's generator in its large shape, built on demand into the cache folder): time from explain to
// the first partial text and to the final answer, against the server's own timings for the same
// request; first words with a warm server whose system prompt is cached; the same request unstreamed.
// Runs in a private network namespace so port 7332 is its own.
#include "answer/ChatRequest.h"
#include "answer/ModelService.h"
#include "bench/BenchSupport.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/PosixProcessLauncher.h"
#include "server/LocalServer.h"
#include "tests/support/LocalOnlyService.h"
#include "tests/support/PrivateNetwork.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Answers as long as the first explanation measured on this machine (120 tokens).
constexpr int answerTokens = 120;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

fs::path cacheFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    const fs::path base =
        xdg != nullptr && *xdg != '\0' ? fs::path(xdg) : fs::path(home != nullptr ? home : "/tmp") / ".cache";
    return base / "ulvo" / "bench-models";
}

// The transport the service uses, keeping the last response's body for the server's own timings.
class RecordingTransport final : public ulvo::HttpTransport {
public:
    ulvo::Result<ulvo::HttpResponse> send(const ulvo::HttpRequest& request) override {
        ulvo::Result<ulvo::HttpResponse> response = inner_.send(request);
        const std::lock_guard lock(mutex_);
        lastBody_ = response ? response->body : std::string();
        return response;
    }
    std::string lastBody() {
        const std::lock_guard lock(mutex_);
        return lastBody_;
    }

private:
    ulvo::CurlTransport inner_;
    std::mutex mutex_;
    std::string lastBody_;
};

// prompt_ms + predicted_ms from the event that carries "timings" (or a plain reply's).
double serverMilliseconds(const std::string& body) {
    double total = 0;
    const auto add = [&total](const nlohmann::json& reply) {
        if (reply.is_object() && reply.contains("timings")) {
            total = reply["timings"].value("prompt_ms", 0.0) + reply["timings"].value("predicted_ms", 0.0);
        }
    };
    std::size_t start = 0;
    while (start < body.size()) {
        const std::size_t end = body.find('\n', start);
        const std::string line =
            body.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.rfind("data: {", 0) == 0) {
            add(nlohmann::json::parse(line.substr(6), nullptr, false));
        }
        start = end == std::string::npos ? body.size() : end + 1;
    }
    if (total == 0) {
        add(nlohmann::json::parse(body, nullptr, false));
    }
    return total;
}

} // namespace

int main() {
    if (const std::string problem = ulvo::test::enterPrivateNetwork(); !problem.empty()) {
        std::cerr << "needs a private network namespace for port 7332: " << problem << "\n";
        return 1;
    }
    const fs::path model = cacheFolder() / "ulvo-bench-large.gguf";
    if (!fs::exists(model)) {
        std::cerr << "Generating the benchmark model (about one billion parameters) into " << model
                  << "...\n";
        fs::create_directories(model.parent_path());
        const std::string command = std::string("/usr/bin/python3 '") + ULVO_MAKE_MODEL + "' --llama-src '" +
                                    ULVO_LLAMA_SRC + "' --size large --out '" + model.string() + "'";
        if (std::system(command.c_str()) != 0) {
            std::cerr << "the model generator failed\n";
            return 1;
        }
    }
    const fs::path root = ulvo::bench::scratchRuntime("stream-bench", ULVO_RUNTIME_STAGE_DIR, model);

    // The server is started here, with every answer cut at the measured length; the service reuses it.
    auto launcher = std::make_shared<ulvo::PosixProcessLauncher>();
    const ulvo::RuntimeConfig config = ulvo::RuntimeConfig::load(root).value();
    ulvo::LaunchRequest launch;
    launch.executable = root / "llama-server";
    launch.arguments = ulvo::LocalServer::serverArguments(config, root / config.model);
    launch.arguments.insert(launch.arguments.end(), {"--n-predict", std::to_string(answerTokens)});
    launch.environment = ulvo::LocalServer::serverEnvironment(
        launcher->currentEnvironment(), root, launcher->machine(), ulvo::bench::benchKey, false);
    launch.workingDirectory = ulvo::LocalServer::libraryFolder(root, launcher->machine());
    const auto server = launcher->launch(launch);
    if (!server) {
        std::cerr << server.failure().message << "\n";
        return 1;
    }

    auto transport = std::make_shared<RecordingTransport>();
    ulvo::LocalServer::Options options = ulvo::bench::localServerOptions(root, transport, launcher);
    options.readinessLimit = 300s;
    auto local = std::make_shared<ulvo::LocalServer>(std::move(options));
    if (const ulvo::Result<void> ready = local->ensureServer(config); !ready) {
        std::cerr << ready.failure().message << "\n";
        return 1;
    }

    ulvo::ModelService service(ulvo::test::localOnlyDependencies(transport, local));
    const auto settle = [&service] {
        std::promise<void> done;
        service.queue().async([&done] { done.set_value(); });
        done.get_future().wait();
    };

    const std::vector<std::string> texts = {
        "A lever multiplies force by trading distance for it.",
        "Osmosis moves water across a membrane toward the saltier side.",
        "Compound interest pays interest on interest already earned.",
        "A rainbow forms when sunlight is refracted and reflected inside droplets.",
        "Tides follow the moon because its pull differs across the earth.",
    };
    constexpr ulvo::Level level = 50;
    std::vector<double> firstPartial;
    std::vector<double> finalAnswer;
    std::vector<double> serverOwn;
    std::vector<double> overhead;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        service.prepare(level); // the system prompt into the cache, as when the card opens
        settle();
        std::promise<void> done;
        std::once_flag first;
        double firstMs = 0;
        const auto start = Clock::now();
        service.explain(
            texts[i], std::nullopt, level, [&done](const ulvo::ExplainResult&) { done.set_value(); },
            [&](const std::string&) { std::call_once(first, [&] { firstMs = millisecondsSince(start); }); });
        done.get_future().wait();
        const double totalMs = millisecondsSince(start);
        const double ownMs = serverMilliseconds(transport->lastBody());
        if (i == 0) {
            continue; // warms the server
        }
        firstPartial.push_back(firstMs);
        finalAnswer.push_back(totalMs);
        serverOwn.push_back(ownMs);
        overhead.push_back(ownMs > 0 ? (totalMs - ownMs) / ownMs * 100 : 0);
    }

    // The same requests without streaming: nothing shows before the whole answer.
    std::vector<double> unstreamed;
    ulvo::CurlTransport bare;
    for (std::size_t i = 1; i < texts.size(); ++i) {
        service.prepare(level);
        settle();
        ulvo::ChatExchange exchange;
        exchange.url = ulvo::LocalServer::chatURL;
        exchange.bearer = ulvo::bench::benchKey;
        exchange.model = config.modelAlias;
        exchange.setMessages(texts[i] + " ", std::nullopt, level, "en-US");
        ulvo::HttpRequest request = ulvo::buildChatRequest(exchange);
        nlohmann::json body = nlohmann::json::parse(request.body);
        body["stream"] = false;
        request.body = body.dump();
        const auto start = Clock::now();
        (void)bare.send(request);
        unstreamed.push_back(millisecondsSince(start));
    }

    std::cout << std::fixed << std::setprecision(1) << "model_parameters: about 1 billion (generated, Q8_0, "
              << fs::file_size(model) / 1000000 << " MB)\n"
              << "answer_tokens: " << answerTokens << " tokens\n"
              << "stream_first_partial_median: " << ulvo::bench::quantile(firstPartial, 0.5) << " ms\n"
              << "stream_first_partial_max: " << ulvo::bench::quantile(firstPartial, 1.0) << " ms\n"
              << "stream_final_answer_median: " << ulvo::bench::quantile(finalAnswer, 0.5) << " ms\n"
              << "server_own_timings_median: " << ulvo::bench::quantile(serverOwn, 0.5) << " ms\n"
              << std::setprecision(2)
              << "stream_overhead_vs_server_median: " << ulvo::bench::quantile(overhead, 0.5) << " %\n"
              << "stream_overhead_vs_server_max: " << ulvo::bench::quantile(overhead, 1.0) << " %\n"
              << std::setprecision(1)
              << "unstreamed_answer_median: " << ulvo::bench::quantile(unstreamed, 0.5) << " ms\n"
              << "machine: " << ulvo::bench::machineDescription() << "\n";
    ::kill((*server)->pid(), SIGKILL);
    ::waitpid((*server)->pid(), nullptr, 0);
    fs::remove_all(root);
    return 0;
}
