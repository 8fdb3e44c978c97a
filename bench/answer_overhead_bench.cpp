// Per-answer cost of ModelService::explain against a loopback chat server, next to a bare libcurl
// loop sending the same request to the same server. Interleaved, so drift hits both alike.
#include "answer/ChatRequest.h"
#include "answer/ModelService.h"
#include "answer/Prompts.h"
#include "bench/BenchSupport.h"
#include "platform/linux/CurlTransport.h"
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"
#include "tests/support/FakeStores.h"
#include "tests/support/LoopbackServer.h"

#include <curl/curl.h>

#include <future>
#include <iomanip>
#include <iostream>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string selection =
    "Photosynthesis is the process by which green plants turn light, water and carbon dioxide "
    "into sugar and oxygen inside their chloroplasts.";
const std::string answer =
    "Plants use sunlight to turn water and air into sugar, and they breathe out oxygen while "
    "doing it. The green colour comes from chlorophyll, which catches the light. Almost every "
    "food chain starts with this process, and it keeps the air breathable.";

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

struct BareRequest {
    std::string url;
    std::string body;
    curl_slist* headers = nullptr;
};

double bareExchange(CURL* curl, const BareRequest& request) {
    const auto start = Clock::now();
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, request.headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    if (curl_easy_perform(curl) != CURLE_OK) {
        std::cerr << "bare request failed\n";
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double serviceExchange(ulvo::ModelService& service) {
    const auto start = Clock::now();
    std::promise<bool> done;
    service.explain(selection, std::nullopt, 50,
                    [&done](ulvo::ExplainResult result) { done.set_value(result.ok()); });
    if (!done.get_future().get()) {
        std::cerr << "service request failed\n";
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

} // namespace

int main() {
    std::chrono::milliseconds delay{0};
    ulvo::test::LoopbackServer server([&delay](const ulvo::test::RecordedRequest&) {
        return ulvo::test::CannedReply{200, ulvo::test::chatReply(answer), "application/json", delay};
    });

    auto preferences = std::make_shared<ulvo::test::MemoryPreferenceStore>();
    auto secrets = std::make_shared<ulvo::test::MemorySecretStore>();
    static_cast<void>(
        ulvo::ModelPreferences{ulvo::ModelProvider::custom, server.baseURL() + "/v1", "bench-model"}.save(
            *preferences));
    static_cast<void>(ulvo::APIKeyStore(*secrets).save("sk-bench", ulvo::ModelProvider::custom));
    ulvo::ModelService::Dependencies deps;
    deps.preferences = preferences;
    deps.secrets = secrets;
    deps.transport = std::make_shared<ulvo::CurlTransport>();
    deps.responseLanguage = [] { return std::string("en-US"); };
    ulvo::ModelService service(std::move(deps));

    // The bare loop sends the very body the service sends.
    ulvo::ChatExchange exchange;
    exchange.model = "bench-model";
    exchange.setMessages(selection, std::nullopt, 50, "en-US");
    exchange.temperature = 0.35;
    const std::string body = ulvo::buildChatRequest(exchange).body;
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Authorization: Bearer sk-bench");
    headers = curl_slist_append(headers, "Expect:");
    const BareRequest bare{server.baseURL() + "/v1/chat/completions", body, headers};

    std::cout << std::fixed << std::setprecision(3);
    struct Round {
        const char* name;
        std::chrono::milliseconds delay;
        int count;
    };
    for (const Round& round : {Round{"instant", 0ms, 400}, Round{"20ms", 20ms, 100}}) {
        delay = round.delay;
        std::vector<double> bareTimes;
        std::vector<double> viaService;
        for (int i = 0; i < 20; ++i) { // warm the connections
            bareExchange(curl, bare);
            serviceExchange(service);
        }
        for (int i = 0; i < round.count; ++i) {
            bareTimes.push_back(bareExchange(curl, bare));
            viaService.push_back(serviceExchange(service));
        }
        const double bareMedian = ulvo::bench::quantile(bareTimes, 0.5);
        const double serviceMedian = ulvo::bench::quantile(viaService, 0.5);
        std::cout << "explain_" << round.name << "_server_median: " << serviceMedian << " us\n"
                  << "bare_curl_" << round.name << "_server_median: " << bareMedian << " us\n"
                  << "explain_overhead_" << round.name << "_server: " << serviceMedian - bareMedian << " us\n"
                  << "explain_vs_bare_" << round.name << "_server: " << serviceMedian / bareMedian << " x\n";
    }
    std::cout << "machine: " << ulvo::bench::machineDescription() << "\n";
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return 0;
}
