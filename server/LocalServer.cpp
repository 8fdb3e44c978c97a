#include "server/LocalServer.h"

#include "answer/ChatRequest.h"
#include "server/LocalRuntime.h"
#include "server/RuntimeKey.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <exception>
#include <functional>
#include <new>
#include <system_error>
#include <thread>

namespace ulvo {

namespace {

constexpr std::chrono::milliseconds healthTimeout{800};
constexpr std::chrono::milliseconds chatTimeout{50'000};
constexpr double localTemperature = 0.35;
constexpr const char* portTakenMessage = "Another program is using port 7332.";
// Listing devices only enumerates them; a driver that hangs longer gets the CPU.
constexpr std::chrono::milliseconds deviceListLimit{5'000};
constexpr std::chrono::milliseconds slotActionTimeout{10'000};
// Host memory for prompts the one slot has moved away from; llama-server's default is 8 GiB.
constexpr const char* promptCacheMiB = "256";
// A model idle this long is unloaded until the next request: its memory is the user's again.
constexpr const char* sleepAfterSeconds = "1800";
constexpr std::size_t promptCachesKept = 24;
constexpr const char* slotURL = "http://127.0.0.1:7332/slots/0?action=";

// The newest files stay; a model or program change leaves old ones that never match again.
void pruneFolder(const std::filesystem::path& folder, std::size_t keep) {
    std::error_code error;
    std::vector<std::pair<std::filesystem::file_time_type, std::filesystem::path>> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.is_regular_file(error)) {
            files.emplace_back(entry.last_write_time(error), entry.path());
        }
    }
    if (files.size() <= keep) {
        return;
    }
    std::sort(files.begin(), files.end(), std::greater<>());
    for (std::size_t i = keep; i < files.size(); ++i) {
        std::filesystem::remove(files[i].second, error);
    }
}

std::string fileStamp(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    const auto time = std::filesystem::last_write_time(path, error);
    return path.string() + ':' + std::to_string(error ? 0 : size) + ':' +
           std::to_string(time.time_since_epoch().count());
}

void setVariable(Environment& environment, const std::string& name, const std::string& value) {
    const auto found = std::find_if(environment.begin(), environment.end(),
                                    [&name](const auto& entry) { return entry.first == name; });
    if (found != environment.end()) {
        found->second = value;
    } else {
        environment.emplace_back(name, value);
    }
}

} // namespace

LocalServer::LocalServer(Options options)
    : options_(std::move(options)) {}

bool LocalServer::healthIsReady() {
    HttpRequest probe;
    probe.url = healthURL;
    probe.timeout = healthTimeout;
    probe.stop = options_.stop;
    const Result<HttpResponse> response = options_.transport->send(probe);
    probeAnswered_ = response.ok(); // otherwise no server answers, or not yet
    return response && response->status >= 200 && response->status <= 299;
}

std::vector<std::string> LocalServer::serverArguments(const RuntimeConfig& config,
                                                      const std::filesystem::path& modelPath,
                                                      const LaunchChoices& choices) {
    std::vector<std::string> arguments = {
        "--model", std::filesystem::absolute(modelPath).string(), "--host", "127.0.0.1", "--port", "7332",
        "--ctx-size", std::to_string(config.contextSize), "--alias", config.modelAlias, "--jinja",
        // One user: one slot holds the whole context and the prompt cache is always that slot's.
        "--parallel", "1", "--cache-ram", promptCacheMiB, "--sleep-idle-seconds", sleepAfterSeconds,
        // A sliding-window model keeps only the window's tokens otherwise, and after an answer longer
        // than the window the next selection recomputes the band's prompt (measured: 22 tokens instead
        // of 250; about 50 MB more for the default model).
        "--swa-full"};
    if (choices.cpuOnly) {
        arguments.insert(arguments.end(), {"--device", "none"});
    }
    if (choices.promptCacheFolder) {
        arguments.insert(arguments.end(), {"--slot-save-path", choices.promptCacheFolder->string()});
    }
    return arguments;
}

std::filesystem::path LocalServer::libraryFolder(const std::filesystem::path& runtimeRoot,
                                                 const std::string& machine) {
    return std::filesystem::absolute(runtimeRoot) / "lib" / machine;
}

std::filesystem::path LocalServer::vulkanBackend(const std::filesystem::path& runtimeRoot,
                                                 const std::string& machine) {
    return libraryFolder(runtimeRoot, machine) / "vulkan" / "libggml-vulkan.so";
}

Environment LocalServer::serverEnvironment(Environment base, const std::filesystem::path& runtimeRoot,
                                           const std::string& machine,
                                           const std::optional<std::string>& apiKey, bool withGpu) {
    const std::filesystem::path libraries = libraryFolder(runtimeRoot, machine);
    setVariable(base, "LD_LIBRARY_PATH", libraries.string());
    // The CPU backends are found in the working directory; the GPU's only when it may be used, so
    // "CPU only" never wakes a GPU.
    if (withGpu) {
        setVariable(base, "GGML_BACKEND_PATH", vulkanBackend(runtimeRoot, machine).string());
    } else {
        base.erase(std::remove_if(base.begin(), base.end(),
                                  [](const auto& entry) { return entry.first == "GGML_BACKEND_PATH"; }),
                   base.end());
    }
    // Through the environment, which only this user can read, not the command line, which everyone can.
    if (apiKey) {
        setVariable(base, "LLAMA_API_KEY", *apiKey);
    }
    return base;
}

Result<std::string> LocalServer::key() const {
    if (options_.key) {
        return options_.key();
    }
    return RuntimeKey::ofUser(RuntimeKey::userFolder());
}

long LocalServer::modelsStatus(const std::string& key) {
    HttpRequest probe;
    probe.url = modelsURL;
    probe.timeout = healthTimeout;
    probe.stop = options_.stop;
    probe.headers.emplace_back("Authorization", "Bearer " + key);
    const Result<HttpResponse> response = options_.transport->send(probe);
    return response ? response->status : 0;
}

Result<void> LocalServer::acceptServer(const std::string& key) {
    if (options_.portIsUsers && !options_.portIsUsers()) {
        return Failure{portTakenMessage};
    }
    if (llamaProcess_ && llamaProcess_->isRunning()) {
        return {};
    }
    const Result<std::string> decoy = RuntimeKey::decoy();
    if (!decoy) {
        return decoy.failure();
    }
    if (modelsStatus(*decoy) != 401 || modelsStatus(key) == 401) {
        return Failure{portTakenMessage};
    }
    return {};
}

Result<void> LocalServer::ensureServer(const RuntimeConfig& config) {
    const Result<std::string> serverKey = key();
    if (!serverKey) {
        return serverKey.failure();
    }
    return ensureServer(config, *serverKey);
}

Result<void> LocalServer::ensureServer(const RuntimeConfig& config, const std::string& serverKey) {
    if (healthIsReady()) {
        return acceptServer(serverKey);
    }
    if (!options_.runtimeRoot) {
        return Failure{"The built-in runtime is missing."};
    }
    const std::filesystem::path& root = *options_.runtimeRoot;
    const LocalRuntime runtime = inspectLocalRuntime(root);
    if (!runtime.ready()) {
        return Failure{modelIncompleteMessage};
    }

    const std::string machine = options_.launcher->machine();
    std::optional<std::filesystem::path> promptFolder = options_.promptCacheFolder;
    if (promptFolder) {
        std::error_code error;
        std::filesystem::create_directories(*promptFolder, error); // the server refuses a missing one
        if (error) {
            promptFolder.reset();
        }
    }
    LaunchRequest request;
    request.executable = runtime.server;
    request.workingDirectory = libraryFolder(root, machine);
    const bool gpuBuilt = std::filesystem::exists(vulkanBackend(root, machine));
    const auto launch = [&](bool cpuOnly) -> Result<void> {
        const Environment environment = options_.launcher->currentEnvironment();
        request.environment = serverEnvironment(environment, root, machine, serverKey, true);
        device_ = cpuOnly || !gpuBuilt ? ComputeDevice::cpu() : chooseDevice(request);
        // Without a GPU to use, the GPU backend is not even loaded.
        request.environment = serverEnvironment(environment, root, machine, serverKey, device_->gpu);
        request.arguments = serverArguments(config, *runtime.model, {!device_->gpu, promptFolder});
        Result<std::unique_ptr<ChildProcess>> child = options_.launcher->launch(request);
        if (!child) {
            return child.failure(); // with the system's reason; the old handle stays
        }
        llamaProcess_ = std::move(child).value();
        modelIdentity_ = fileStamp(*runtime.model) + '|' + fileStamp(runtime.server);
        preparedPrompt_.reset();
        return {};
    };
    const bool cpuChosen = options_.cpuOnly && options_.cpuOnly();
    bool launched = false;
    bool fellBack = false;
    if (!llamaProcess_ || !llamaProcess_->isRunning()) {
        ULVO_TRY(launch(cpuChosen));
        launched = true;
    }

    // Readiness is judged by the port; a child that has ended is noticed at the next probe.
    const auto deadline = std::chrono::steady_clock::now() + options_.readinessLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (healthIsReady()) {
            // Our child, or something that took the port before it could.
            ULVO_TRY(acceptServer(serverKey));
            if (launched && device_) {
                device_->writeRecord();
            }
            return {};
        }
        if (isRaised(options_.stop)) {
            return Failure{"The request was abandoned."};
        }
        if (!llamaProcess_->isRunning()) {
            // A stored server that was killed counts as running until its last thread has gone, which
            // can be after the look above: once it has gone, it is replaced instead of waited for.
            if (!launched) {
                ULVO_TRY(launch(cpuChosen));
                launched = true;
                continue;
            }
            // A GPU that fails (a driver, too little memory) leaves the CPU, which always works.
            if (device_ && device_->gpu && !fellBack && !probeAnswered_) {
                ULVO_TRY(launch(true));
                fellBack = true;
                continue;
            }
            // The server just launched has ended already: waiting out the limit would change nothing.
            // Something that answers HTTP on the port is another program holding it.
            return Failure{probeAnswered_ ? portTakenMessage : "The built-in model could not start."};
        }
        std::this_thread::sleep_for(options_.probeInterval);
    }
    return Failure{"The built-in model took too long to start."};
}

ComputeDevice LocalServer::chooseDevice(LaunchRequest probe) {
    probe.arguments = {"--list-devices"};
    const Result<ProcessOutput> listed = options_.launcher->run(probe, deviceListLimit);
    if (listed && listed->exitStatus == 0) {
        if (std::optional<ComputeDevice> gpu = ComputeDevice::firstListed(listed->standardOutput)) {
            return *gpu;
        }
    }
    return ComputeDevice::cpu(); // also when Vulkan itself failed: the server is then started without it
}

void LocalServer::startEarly(Level level) {
    try {
        if (!options_.runtimeRoot) {
            return;
        }
        const Result<RuntimeConfig> config = RuntimeConfig::load(*options_.runtimeRoot);
        if (!config || !ensureServer(*config)) {
            return; // the explanation meets the same failure and reports it
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return;
    }
    prepare(level);
}

Result<std::string> LocalServer::localAnswer(const std::string& text,
                                             const std::optional<std::string>& question, Level level) {
    return streamedLocalAnswer(text, question, level, {});
}

void LocalServer::prepare(Level level) {
    try {
        if (!options_.runtimeRoot || !healthIsReady()) {
            return;
        }
        const Result<RuntimeConfig> config = RuntimeConfig::load(*options_.runtimeRoot);
        const Result<std::string> serverKey = config ? key() : config.failure();
        if (!serverKey) {
            return;
        }
        const std::string language = options_.responseLanguage ? options_.responseLanguage() : std::string();
        ChatExchange exchange;
        exchange.url = chatURL;
        exchange.bearer = *serverKey;
        exchange.model = config->modelAlias;
        exchange.setMessages(" ", std::nullopt, level, language);
        warmSystemPrompt(exchange);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        // A cache that is not warmed costs time only; the answer itself reports real failures.
    }
}

std::optional<std::string> LocalServer::promptCacheName(const std::string& system) const {
    if (!options_.promptCacheFolder || modelIdentity_.empty() || !llamaProcess_) {
        return std::nullopt; // a server this object did not start may run another model
    }
    const std::size_t hash = std::hash<std::string>{}(modelIdentity_ + '\n' + system);
    return "prompt-" + std::to_string(hash) + ".bin";
}

bool LocalServer::slotAction(const char* action, const ChatExchange& exchange, const std::string& fileName) {
    HttpRequest request;
    request.method = "POST";
    request.url = std::string(slotURL) + action;
    request.timeout = slotActionTimeout;
    request.stop = options_.stop;
    request.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + exchange.bearer}};
    request.body = nlohmann::json{{"filename", fileName}}.dump();
    const Result<HttpResponse> response = options_.transport->send(request);
    return response && response->status == 200;
}

void LocalServer::warmSystemPrompt(ChatExchange exchange) {
    if (std::chrono::steady_clock::now() - lastWarmed_ > std::chrono::seconds(std::stoi(sleepAfterSeconds))) {
        preparedPrompt_.reset(); // the server may have slept since, and lost it
    }
    lastWarmed_ = std::chrono::steady_clock::now();
    if (preparedPrompt_ == exchange.system) {
        return; // still in the slot: the server keeps the last prompt's tokens
    }
    const std::optional<std::string> cacheName = promptCacheName(exchange.system);
    if (cacheName && std::filesystem::exists(*options_.promptCacheFolder / *cacheName) &&
        slotAction("restore", exchange, *cacheName)) {
        preparedPrompt_ = exchange.system;
        return;
    }
    exchange.user = " ";
    exchange.temperature = localTemperature;
    exchange.timeout = chatTimeout;
    exchange.stop = options_.stop;
    HttpRequest request = buildChatRequest(exchange);
    nlohmann::json body = nlohmann::json::parse(request.body);
    body["max_tokens"] = 1;
    body["stream"] = false;
    body["cache_prompt"] = true;
    request.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (const Result<HttpResponse> response = options_.transport->send(request);
        !response || response->status != 200) {
        return;
    }
    preparedPrompt_ = exchange.system;
    if (cacheName && slotAction("save", exchange, *cacheName)) {
        pruneFolder(*options_.promptCacheFolder, promptCachesKept);
    }
}

Result<std::string> LocalServer::streamedLocalAnswer(const std::string& text,
                                                     const std::optional<std::string>& question, Level level,
                                                     const PartialText& partial) {
    if (!options_.runtimeRoot) {
        return Failure{"The built-in local model is missing."};
    }
    const Result<RuntimeConfig> config = RuntimeConfig::load(*options_.runtimeRoot);
    const Result<std::string> serverKey = config ? key() : config.failure();
    if (!serverKey) {
        return serverKey.failure();
    }
    ULVO_TRY(ensureServer(*config, *serverKey));

    const std::string language = options_.responseLanguage ? options_.responseLanguage() : std::string();
    ChatExchange exchange;
    exchange.url = chatURL;
    exchange.bearer = *serverKey;
    exchange.model = config->modelAlias;
    exchange.setMessages(text, question, level, language);
    exchange.temperature = localTemperature;
    exchange.timeout = chatTimeout;
    exchange.stop = options_.stop;
    exchange.onPartial = partial;
    if (!question && promptCacheName(exchange.system)) {
        // The band's prompt from the kept cache (or computed and kept) before the text's own tokens.
        warmSystemPrompt(exchange);
    }
    preparedPrompt_.reset(); // the cache now holds this request's tokens too
    if (!question) {
        preparedPrompt_ = exchange.system; // its system prompt stays the cached prefix
    }
    return exchangeChat(*options_.transport, exchange,
                        {"The built-in model could not answer. Please try again.",
                         "The built-in model returned an unreadable answer.",
                         "The local model did not respond.", ""});
}

} // namespace ulvo
