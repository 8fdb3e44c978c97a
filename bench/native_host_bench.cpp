// One explanation through ulvo-runtime-host (framed over pipes, as a browser sends it) against the same
// request through the application's answer service in-process, both with the same stores and the same warm
// loopback chat server, interleaved. Also the cost of a fresh host per request (sendNativeMessage).
// Run inside scripts/private-session: both read the key from the keyring.
#include "answer/ModelService.h"
#include "bench/BenchSupport.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/KeyFilePreferenceStore.h"
#include "platform/linux/LibsecretStore.h"
#include "platform/linux/SystemLanguage.h"
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"
#include "tests/integration/NativeHostProcess.h"
#include "tests/support/LoopbackServer.h"

#include <cstdlib>
#include <future>
#include <iomanip>
#include <iostream>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string selection =
    "Photosynthesis is the process by which green plants turn light, water and carbon "
    "dioxide into sugar and oxygen inside their chloroplasts.";

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int run() {
    using namespace ulvo;
    char pattern[] = "/tmp/ulvo-host-bench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return 1;
    }
    const std::filesystem::path configHome = pattern;
    ::setenv("XDG_CONFIG_HOME", pattern, 1);

    test::LoopbackServer server([](const test::RecordedRequest&) {
        return test::CannedReply{200,
                                 test::chatReply("Plants use sunlight to turn water and air into sugar.")};
    });
    auto preferences = std::make_shared<KeyFilePreferenceStore>(KeyFilePreferenceStore::defaultPath());
    auto secrets = std::make_shared<LibsecretStore>();
    static_cast<void>(
        ModelPreferences{ModelProvider::custom, server.baseURL() + "/v1", "bench-model"}.save(*preferences));
    if (const ulvo::Result<void> saved = APIKeyStore(*secrets).save("sk-bench", ModelProvider::custom);
        !saved) {
        std::cerr << "no keyring (run inside scripts/private-session): " << saved.failure().message << "\n";
        return 1;
    }

    ModelService::Dependencies deps;
    deps.preferences = preferences;
    deps.secrets = secrets;
    deps.transport = std::make_shared<CurlTransport>();
    deps.responseLanguage = systemResponseLanguage;
    ModelService service(std::move(deps));
    auto viaService = [&] {
        std::promise<bool> done;
        const auto start = Clock::now();
        service.explain(selection, std::nullopt, 40,
                        [&](const ExplainResult& result) { done.set_value(result.ok()); });
        const bool ok = done.get_future().get();
        return ok ? millisecondsSince(start) : -1.0;
    };

    const nlohmann::json request{{"type", "explain"}, {"text", selection}, {"level", 40}};
    test::NativeHostProcess kept(ULVO_RUNTIME_HOST_LINK, configHome);
    auto viaHost = [&] {
        const auto start = Clock::now();
        kept.sendMessage(request);
        const auto reply = kept.reply(30s);
        return reply && (*reply)["ok"] == true ? millisecondsSince(start) : -1.0;
    };

    // Warm both paths (connection to the server, keyring session, first allocation).
    for (int i = 0; i < 10; ++i) {
        if (viaService() < 0 || viaHost() < 0) {
            std::cerr << "a warm-up request failed\n";
            return 1;
        }
    }
    constexpr int rounds = 300;
    std::vector<double> serviceTimes;
    std::vector<double> hostTimes;
    for (int i = 0; i < rounds; ++i) {
        serviceTimes.push_back(viaService());
        hostTimes.push_back(viaHost());
    }

    constexpr int fresh = 30;
    std::vector<double> freshTimes;
    for (int i = 0; i < fresh; ++i) {
        const auto start = Clock::now();
        test::NativeHostProcess host(ULVO_RUNTIME_HOST_LINK, configHome);
        host.sendMessage(request);
        const auto reply = host.reply(30s);
        host.closeInput();
        (void)host.exitStatus(5s);
        if (!reply || (*reply)["ok"] != true) {
            std::cerr << "a fresh host did not answer\n";
            return 1;
        }
        freshTimes.push_back(millisecondsSince(start));
    }

    const double serviceMedian = bench::quantile(serviceTimes, 0.5);
    const double hostMedian = bench::quantile(hostTimes, 0.5);
    const double freshMedian = bench::quantile(freshTimes, 0.5);
    std::cout << std::fixed << std::setprecision(3);
    std::cout << "machine: " << bench::machineDescription() << "\n";
    std::cout << "service_request_median: " << serviceMedian << " ms\n";
    std::cout << "host_request_median: " << hostMedian << " ms\n";
    std::cout << "host_request_p90: " << bench::quantile(hostTimes, 0.9) << " ms\n";
    std::cout << "host_to_service_ratio: " << hostMedian / serviceMedian << " x\n";
    std::cout << "fresh_host_request_median: " << freshMedian << " ms\n";
    std::cout << "host_start_per_request: " << freshMedian - hostMedian << " ms\n";
    std::filesystem::remove_all(configHome);
    return 0;
}

} // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& error) {
        std::cerr << "native_host_bench: " << error.what() << "\n";
        return 1;
    }
}
