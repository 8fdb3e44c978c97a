// The built-in model at the default model's shape (the test model's generator in its gemma3-1b shape,
// built on demand into the cache folder): first words of the day after the server starts, with and
// without the band's prompt kept on disk; the next selection; a warm cache; prompt and generation speed
// with each CPU backend this machine runs (and, given its path, another CPU backend to compare with) and
// on Mesa's software Vulkan; the runtime's size. Runs in a private network namespace (port 7332).
//
//     model_speed_bench [--compare-cpu-backend /path/to/libggml-cpu.so]
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
#include <future>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr ulvo::Level level = 50;
constexpr double firstWordsTarget = 2000;
constexpr double nextSelectionTarget = 600;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void stop(int pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

fs::path cacheFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    const fs::path base =
        xdg != nullptr && *xdg == '/' ? fs::path(xdg) : fs::path(home != nullptr ? home : "/tmp") / ".cache";
    return base / "ulvo" / "bench-models";
}

std::uintmax_t folderBytes(const fs::path& folder) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file() && !entry.is_symlink()) {
            total += entry.file_size();
        }
    }
    return total;
}

// The time from explain to its first partial text, through the service as the card uses it.
double firstWords(ulvo::ModelService& service, const std::string& text) {
    std::promise<void> done;
    std::once_flag first;
    double firstMs = 0;
    const auto start = Clock::now();
    service.explain(
        text, std::nullopt, level, [&done](const ulvo::ExplainResult&) { done.set_value(); },
        [&](const std::string&) { std::call_once(first, [&] { firstMs = millisecondsSince(start); }); });
    done.get_future().wait();
    return firstMs;
}

struct Speed {
    double promptPerSecond = 0;
    double generatedPerSecond = 0;
};

// A server launched as told, one explanation-sized request, and the server's own timings.
std::optional<Speed> measureSpeed(ulvo::ProcessLauncher& launcher, ulvo::LaunchRequest request,
                                  std::chrono::seconds limit) {
    const auto child = launcher.launch(request);
    if (!child) {
        return std::nullopt;
    }
    ulvo::CurlTransport transport;
    ulvo::HttpRequest health;
    health.url = ulvo::LocalServer::healthURL;
    health.timeout = 800ms;
    const auto deadline = Clock::now() + limit;
    while (true) {
        if (const auto reply = transport.send(health); reply && reply->status == 200) {
            break;
        }
        if (!(*child)->isRunning() || Clock::now() > deadline) {
            stop((*child)->pid());
            return std::nullopt;
        }
        std::this_thread::sleep_for(100ms);
    }
    ulvo::ChatExchange exchange;
    exchange.url = ulvo::LocalServer::chatURL;
    exchange.bearer = ulvo::bench::benchKey;
    exchange.model = "bench";
    exchange.setMessages("Tides follow the moon because its pull differs across the earth.", std::nullopt,
                         level, "en-US");
    ulvo::HttpRequest chat = ulvo::buildChatRequest(exchange);
    nlohmann::json body = nlohmann::json::parse(chat.body);
    body["stream"] = false;
    body["max_tokens"] = 48;
    body["cache_prompt"] = false;
    chat.body = body.dump();
    chat.timeout = 600s;
    std::optional<Speed> speed;
    if (const auto reply = transport.send(chat); reply && reply->status == 200) {
        const nlohmann::json timings =
            nlohmann::json::parse(reply->body, nullptr, false).value("timings", nlohmann::json());
        if (timings.is_object()) {
            speed =
                Speed{timings.value("prompt_per_second", 0.0), timings.value("predicted_per_second", 0.0)};
        }
    }
    stop((*child)->pid());
    return speed;
}

} // namespace

int main(int argc, char** argv) {
    std::optional<fs::path> compareBackend;
    if (argc == 3 && std::string(argv[1]) == "--compare-cpu-backend") {
        compareBackend = argv[2];
    }
    if (const std::string problem = ulvo::test::enterPrivateNetwork(); !problem.empty()) {
        std::cerr << "needs a private network namespace for port 7332: " << problem << "\n";
        return 1;
    }
    const fs::path model = cacheFolder() / "ulvo-bench-gemma3-1b.gguf";
    if (!fs::exists(model)) {
        std::cerr << "Generating the benchmark model (gemma3-1b shape) into " << model << "...\n";
        fs::create_directories(model.parent_path());
        const std::string command = std::string("/usr/bin/python3 '") + ULVO_MAKE_MODEL + "' --llama-src '" +
                                    ULVO_LLAMA_SRC + "' --size gemma3-1b --out '" + model.string() + "'";
        if (std::system(command.c_str()) != 0) {
            std::cerr << "the model generator failed\n";
            return 1;
        }
    }
    const fs::path root = ulvo::bench::scratchRuntime("model-speed-bench", ULVO_RUNTIME_STAGE_DIR, model);
    const fs::path promptCache = root / "prompt-cache";
    auto launcher = std::make_shared<ulvo::PosixProcessLauncher>();
    auto transport = std::make_shared<ulvo::CurlTransport>();
    const std::string machine = launcher->machine();
    std::cout << std::fixed << std::setprecision(1);

    const std::vector<std::string> texts = {
        "A lever multiplies force by trading distance for it.",
        "Osmosis moves water across a membrane toward the saltier side.",
        "Compound interest pays interest on interest already earned.",
        "A rainbow forms when sunlight is refracted and reflected inside droplets.",
    };
    // Day one computes the band's prompt and keeps it; every later day's first explanation restores it.
    std::vector<double> dayOne;
    std::vector<double> laterDays;
    std::vector<double> nextSelection;
    std::vector<double> warm;
    std::string device;
    for (int day = 0; day < 4; ++day) {
        ulvo::LocalServer::Options options = ulvo::bench::localServerOptions(root, transport, launcher);
        options.promptCacheFolder = promptCache;
        options.readinessLimit = 300s;
        auto local = std::make_shared<ulvo::LocalServer>(std::move(options));
        ulvo::ModelService service(ulvo::test::localOnlyDependencies(transport, local));
        (day == 0 ? dayOne : laterDays).push_back(firstWords(service, texts[0]));
        device = local->device() ? local->device()->label : "unknown";
        for (std::size_t i = 1; i < texts.size(); ++i) {
            nextSelection.push_back(firstWords(service, texts[i]));
        }
        service.prepare(level); // the card opened with the server running
        std::promise<void> settled;
        service.queue().async([&settled] { settled.set_value(); });
        settled.get_future().wait();
        warm.push_back(firstWords(service, texts[0]));
        stop(local->llamaProcess()->pid());
    }
    std::cout << "device: " << device << "\n"
              << "first_words_after_start_no_kept_prompt: " << dayOne.front() << " ms\n"
              << "first_words_after_start_median: " << ulvo::bench::quantile(laterDays, 0.5) << " ms\n"
              << "first_words_after_start_max: " << ulvo::bench::quantile(laterDays, 1.0) << " ms\n"
              << "next_selection_median: " << ulvo::bench::quantile(nextSelection, 0.5) << " ms\n"
              << "next_selection_max: " << ulvo::bench::quantile(nextSelection, 1.0) << " ms\n"
              << "warm_cache_first_words_median: " << ulvo::bench::quantile(warm, 0.5) << " ms\n"
              << "target_first_words_after_start: "
              << (ulvo::bench::quantile(laterDays, 0.5) <= firstWordsTarget ? "met" : "MISSED")
              << " (<= " << firstWordsTarget << " ms)\n"
              << "target_next_selection: "
              << (ulvo::bench::quantile(nextSelection, 0.5) <= nextSelectionTarget ? "met" : "MISSED")
              << " (<= " << nextSelectionTarget << " ms)\n";

    // Speeds per CPU backend: the server starts in a folder holding only that one.
    const ulvo::RuntimeConfig config = ulvo::RuntimeConfig::load(root).value();
    const fs::path libraries = ulvo::LocalServer::libraryFolder(root, machine);
    std::vector<std::pair<std::string, fs::path>> backends;
    for (const auto& entry : fs::directory_iterator(libraries)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("libggml-cpu-", 0) == 0) {
            backends.emplace_back(name.substr(12, name.size() - 15), entry.path());
        }
    }
    std::sort(backends.begin(), backends.end());
    const fs::path single = root / "one-backend";
    const auto speedWith = [&](const std::optional<fs::path>& backend, bool gpu,
                               const ulvo::Environment& extra, bool allBackends = false) {
        // One CPU backend (or none: another given by path), or all of them as the program starts it.
        fs::remove_all(single);
        fs::create_directories(single);
        if (backend) {
            fs::create_symlink(*backend, single / backend->filename());
        }
        ulvo::LaunchRequest request;
        request.executable = root / "llama-server";
        request.arguments =
            ulvo::LocalServer::serverArguments(config, root / config.model, {!gpu, std::nullopt});
        request.environment = ulvo::LocalServer::serverEnvironment(launcher->currentEnvironment(), root,
                                                                   machine, ulvo::bench::benchKey, gpu);
        request.environment->insert(request.environment->end(), extra.begin(), extra.end());
        request.workingDirectory = allBackends ? libraries : single;
        return measureSpeed(*launcher, request, gpu ? 900s : 120s);
    };
    for (const auto& [name, path] : backends) {
        if (const std::optional<Speed> speed = speedWith(path, false, {})) {
            std::cout << "cpu_" << name << "_prompt: " << speed->promptPerSecond << " tokens/s\n"
                      << "cpu_" << name << "_generation: " << speed->generatedPerSecond << " tokens/s\n";
        } else {
            std::cout << "cpu_" << name << ": not supported by this CPU\n";
        }
    }
    if (compareBackend) {
        // Loaded by path: a file named libggml-cpu.so is not a variant the folder search ranks.
        if (const std::optional<Speed> speed =
                speedWith(std::nullopt, false, {{"GGML_BACKEND_PATH", compareBackend->string()}})) {
            std::cout << "cpu_compared_prompt: " << speed->promptPerSecond << " tokens/s\n"
                      << "cpu_compared_generation: " << speed->generatedPerSecond << " tokens/s\n";
        }
    }
    const fs::path vulkan = ulvo::LocalServer::vulkanBackend(root, machine);
    std::optional<fs::path> lavapipe;
    if (fs::exists("/usr/share/vulkan/icd.d")) {
        for (const auto& entry : fs::directory_iterator("/usr/share/vulkan/icd.d")) {
            if (entry.path().filename().string().rfind("lvp_icd", 0) == 0) {
                lavapipe = entry.path();
            }
        }
    }
    if (fs::exists(vulkan) && lavapipe) {
        if (const std::optional<Speed> speed = speedWith(
                std::nullopt, true,
                {{"VK_ICD_FILENAMES", lavapipe->string()}, {"GGML_VK_VISIBLE_DEVICES", "0"}}, true)) {
            std::cout << "vulkan_lavapipe_prompt: " << speed->promptPerSecond << " tokens/s\n"
                      << "vulkan_lavapipe_generation: " << speed->generatedPerSecond << " tokens/s\n";
        } else {
            std::cout << "vulkan_lavapipe: did not run\n";
        }
    } else {
        std::cout << "vulkan_lavapipe: not measured (no Vulkan backend or no lavapipe)\n";
    }

    std::cout << std::setprecision(1)
              << "runtime_size_unstripped: " << static_cast<double>(folderBytes(ULVO_RUNTIME_STAGE_DIR)) / 1e6
              << " MB\n"
              << "runtime_cpu_backends_size: " <<
        [&] {
            double total = 0;
            for (const auto& backend : backends) {
                total += static_cast<double>(fs::file_size(backend.second));
            }
            return total / 1e6;
        }() << " MB\n";
    if (fs::exists(vulkan)) {
        std::cout << "runtime_vulkan_backend_size: " << static_cast<double>(fs::file_size(vulkan)) / 1e6
                  << " MB\n";
    }
    for (const auto& entry :
         fs::directory_iterator(fs::path(ULVO_RUNTIME_STAGE_DIR).parent_path().parent_path().parent_path())) {
        if (entry.path().extension() == ".deb") { // scripts/package's output, when it was run
            std::cout << "package_size: " << static_cast<double>(entry.file_size()) / 1e6 << " MB ("
                      << entry.path().filename().string() << ")\n";
        }
    }
    std::cout << "machine: " << ulvo::bench::machineDescription() << "\n";
    fs::remove_all(root);
    return 0;
}
