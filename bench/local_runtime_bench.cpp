// The built-in runtime with the generated test model: cold start (launch to healthy) against the
// server's own start-up time, and a warm answer through ModelService::explain against the same request
// sent straight to the server. Runs in a private network namespace so port 7332 is its own.
#include "answer/ChatRequest.h"
#include "answer/ModelService.h"
#include "bench/BenchSupport.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/PosixProcessLauncher.h"
#include "server/LocalServer.h"
#include "tests/support/LocalOnlyService.h"
#include "tests/support/PrivateNetwork.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <iomanip>
#include <iostream>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void stop(int pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

} // namespace

int main() {
    if (const std::string problem = ulvo::test::enterPrivateNetwork(); !problem.empty()) {
        std::cerr << "needs a private network namespace for port 7332: " << problem << "\n";
        return 1;
    }
    const fs::path root =
        ulvo::bench::scratchRuntime("bench-runtime", ULVO_RUNTIME_STAGE_DIR, ULVO_TEST_MODEL);

    auto transport = std::make_shared<ulvo::CurlTransport>();
    auto launcher = std::make_shared<ulvo::PosixProcessLauncher>();
    const ulvo::RuntimeConfig config = ulvo::RuntimeConfig::load(root).value();
    const auto makeServer = [&] {
        return std::make_shared<ulvo::LocalServer>(
            ulvo::bench::localServerOptions(root, transport, launcher));
    };
    std::cout << std::fixed << std::setprecision(1);

    // The server's own start-up: launch and poll health every 5 ms.
    std::vector<double> own;
    std::vector<double> viaEnsure;
    for (int run = 0; run < 5; ++run) {
        ulvo::LaunchRequest request;
        request.executable = root / "llama-server";
        request.arguments = ulvo::LocalServer::serverArguments(config, root / config.model);
        request.environment = ulvo::LocalServer::serverEnvironment(
            launcher->currentEnvironment(), root, launcher->machine(), ulvo::bench::benchKey, false);
        request.workingDirectory = ulvo::LocalServer::libraryFolder(root, launcher->machine());
        auto probe = makeServer();
        auto start = Clock::now();
        const auto child = launcher->launch(request);
        if (!child) {
            std::cerr << child.failure().message << "\n";
            return 1;
        }
        while (!probe->healthIsReady()) {
            std::this_thread::sleep_for(5ms);
        }
        own.push_back(millisecondsSince(start));
        stop((*child)->pid());

        auto local = makeServer();
        start = Clock::now();
        if (const ulvo::Result<void> ready = local->ensureServer(config); !ready) {
            std::cerr << ready.failure().message << "\n";
            return 1;
        }
        viaEnsure.push_back(millisecondsSince(start));
        stop(local->llamaProcess()->pid());
    }
    std::cout << "cold_start_launch_to_healthy_median: " << ulvo::bench::quantile(viaEnsure, 0.5) << " ms\n"
              << "server_own_startup_median: " << ulvo::bench::quantile(own, 0.5) << " ms\n";

    // Warm answers, interleaved: the service against the bare request.
    auto local = makeServer();
    if (const ulvo::Result<void> ready = local->ensureServer(config); !ready) {
        std::cerr << ready.failure().message << "\n";
        return 1;
    }
    ulvo::ModelService service(ulvo::test::localOnlyDependencies(transport, local));
    const std::string text = "A lever multiplies force by trading distance for it.";
    ulvo::ChatExchange exchange;
    exchange.url = ulvo::LocalServer::chatURL;
    exchange.bearer = "bench-key";
    exchange.model = "bench";
    exchange.setMessages(text, std::nullopt, 50, "en-US");
    const ulvo::HttpRequest bare = ulvo::buildChatRequest(exchange);
    ulvo::CurlTransport bareTransport;

    std::vector<double> viaService;
    std::vector<double> direct;
    for (int i = 0; i < 12; ++i) {
        auto start = Clock::now();
        std::promise<void> done;
        service.explain(text, std::nullopt, 50, [&done](const ulvo::ExplainResult&) { done.set_value(); });
        done.get_future().wait();
        const double serviceMs = millisecondsSince(start);
        start = Clock::now();
        (void)bareTransport.send(bare);
        const double directMs = millisecondsSince(start);
        if (i >= 2) { // the first two warm the caches
            viaService.push_back(serviceMs);
            direct.push_back(directMs);
        }
    }
    const double serviceMedian = ulvo::bench::quantile(viaService, 0.5);
    const double directMedian = ulvo::bench::quantile(direct, 0.5);
    std::cout << "warm_answer_explain_median: " << serviceMedian << " ms\n"
              << "warm_answer_bare_http_median: " << directMedian << " ms\n"
              << std::setprecision(3) << "warm_answer_explain_vs_bare: " << serviceMedian / directMedian
              << " x\n"
              << "machine: " << ulvo::bench::machineDescription() << "\n";
    stop(local->llamaProcess()->pid());
    fs::remove_all(root);
    return 0;
}
