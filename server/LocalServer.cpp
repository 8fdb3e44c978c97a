#include "server/LocalServer.h"

#include "answer/ChatRequest.h"
#include "answer/ModelFailure.h"
#include "server/LocalRuntime.h"
#include "server/RuntimeKey.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <thread>

namespace ulvo {

namespace {

constexpr std::chrono::milliseconds healthTimeout{800};
constexpr std::chrono::milliseconds chatTimeout{50'000};
constexpr double localTemperature = 0.35;
constexpr const char* portTakenMessage = "Another program is using port 7332.";

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
    try {
        const HttpResponse response = syncRequest(*options_.transport, probe);
        probeAnswered_ = true;
        return response.status >= 200 && response.status <= 299;
    } catch (const std::runtime_error&) { // no server answers, or not yet
        probeAnswered_ = false;
        return false;
    }
}

std::vector<std::string> LocalServer::serverArguments(const RuntimeConfig& config,
                                                      const std::filesystem::path& modelPath) {
    return {"--model",    modelPath.string(),
            "--host",     "127.0.0.1",
            "--port",     "7332",
            "--ctx-size", std::to_string(config.contextSize),
            "--alias",    config.modelAlias,
            "--jinja"};
}

Environment LocalServer::serverEnvironment(Environment base, const std::filesystem::path& runtimeRoot,
                                           const std::string& machine,
                                           const std::optional<std::string>& apiKey) {
    const std::filesystem::path libraries = std::filesystem::absolute(runtimeRoot) / "lib" / machine;
    setVariable(base, "LD_LIBRARY_PATH", libraries.string());
    setVariable(base, "GGML_BACKEND_PATH", (libraries / "libggml-cpu.so").string());
    // Through the environment, which only this user can read, not the command line, which everyone can.
    if (apiKey) {
        setVariable(base, "LLAMA_API_KEY", *apiKey);
    }
    return base;
}

std::unique_ptr<ChildProcess> LocalServer::launchServer(const LaunchRequest& request) {
    Result<std::unique_ptr<ChildProcess>> child = options_.launcher->launch(request);
    if (!child) {
        throw ModelFailure(child.failure().message);
    }
    return std::move(child).value();
}

std::string LocalServer::key() const {
    return options_.key ? options_.key() : RuntimeKey::ofUser(RuntimeKey::userFolder());
}

long LocalServer::modelsStatus(const std::string& key) {
    HttpRequest probe;
    probe.url = modelsURL;
    probe.timeout = healthTimeout;
    probe.stop = options_.stop;
    probe.headers.emplace_back("Authorization", "Bearer " + key);
    try {
        return syncRequest(*options_.transport, probe).status;
    } catch (const std::runtime_error&) {
        return 0;
    }
}

void LocalServer::acceptServer(const std::string& key) {
    if (options_.portIsUsers && !options_.portIsUsers()) {
        throw ModelFailure(portTakenMessage);
    }
    if (llamaProcess_ && llamaProcess_->isRunning()) {
        return;
    }
    if (modelsStatus(RuntimeKey::decoy()) != 401 || modelsStatus(key) == 401) {
        throw ModelFailure(portTakenMessage);
    }
}

void LocalServer::ensureServer(const RuntimeConfig& config) {
    ensureServer(config, key());
}

void LocalServer::ensureServer(const RuntimeConfig& config, const std::string& serverKey) {
    if (healthIsReady()) {
        acceptServer(serverKey);
        return;
    }
    if (!options_.runtimeRoot) {
        throw ModelFailure("The built-in runtime is missing.");
    }
    const std::filesystem::path& root = *options_.runtimeRoot;
    const LocalRuntime runtime = inspectLocalRuntime(root);
    if (!runtime.ready()) {
        throw ModelFailure(modelIncompleteMessage);
    }

    LaunchRequest request;
    request.executable = runtime.server;
    request.arguments = serverArguments(config, *runtime.model);
    request.environment = serverEnvironment(options_.launcher->currentEnvironment(), root,
                                            options_.launcher->machine(), serverKey);
    request.workingDirectory = root;
    bool launched = false;
    if (!llamaProcess_ || !llamaProcess_->isRunning()) {
        llamaProcess_ = launchServer(request); // a launch error passes up; the old handle stays
        launched = true;
    }

    // Readiness is judged by the port; a child that has ended is noticed at the next probe.
    const auto deadline = std::chrono::steady_clock::now() + options_.readinessLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (healthIsReady()) {
            // Our child, or something that took the port before it could.
            acceptServer(serverKey);
            return;
        }
        if (isRaised(options_.stop)) {
            throw ModelFailure("The request was abandoned.");
        }
        if (!llamaProcess_->isRunning()) {
            // A stored server that was killed counts as running until its last thread has gone, which
            // can be after the look above: once it has gone, it is replaced instead of waited for.
            if (!launched) {
                llamaProcess_ = launchServer(request);
                launched = true;
                continue;
            }
            // The server just launched has ended already: waiting out the limit would change nothing.
            // Something that answers HTTP on the port is another program holding it.
            throw ModelFailure(probeAnswered_ ? portTakenMessage : "The built-in model could not start.");
        }
        std::this_thread::sleep_for(options_.probeInterval);
    }
    throw ModelFailure("The built-in model took too long to start.");
}

std::string LocalServer::localAnswer(const std::string& text, const std::optional<std::string>& question,
                                     Level level) {
    return streamedLocalAnswer(text, question, level, {});
}

void LocalServer::prepare(Level level) {
    try {
        if (!options_.runtimeRoot || !healthIsReady()) {
            return;
        }
        const RuntimeConfig config = RuntimeConfig::load(*options_.runtimeRoot);
        const std::string language = options_.responseLanguage ? options_.responseLanguage() : std::string();
        ChatExchange exchange;
        exchange.url = chatURL;
        exchange.bearer = key();
        exchange.model = config.modelAlias;
        exchange.setMessages(" ", std::nullopt, level, language);
        if (preparedPrompt_ == exchange.system) {
            return; // still in the cache: the server keeps the last prompt's tokens
        }
        exchange.temperature = localTemperature;
        exchange.timeout = chatTimeout;
        exchange.stop = options_.stop;
        HttpRequest request = buildChatRequest(exchange);
        nlohmann::json body = nlohmann::json::parse(request.body);
        body["max_tokens"] = 1;
        body["cache_prompt"] = true;
        request.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        if (const Result<HttpResponse> response = options_.transport->send(request);
            response && response->status == 200) {
            preparedPrompt_ = exchange.system;
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        // A cache that is not warmed costs time only; the answer itself reports real failures.
    }
}

std::string LocalServer::streamedLocalAnswer(const std::string& text,
                                             const std::optional<std::string>& question, Level level,
                                             const PartialText& partial) {
    if (!options_.runtimeRoot) {
        throw ModelFailure("The built-in local model is missing.");
    }
    const RuntimeConfig config = RuntimeConfig::load(*options_.runtimeRoot);
    const std::string serverKey = key();
    ensureServer(config, serverKey);

    const std::string language = options_.responseLanguage ? options_.responseLanguage() : std::string();
    ChatExchange exchange;
    exchange.url = chatURL;
    exchange.bearer = serverKey;
    exchange.model = config.modelAlias;
    exchange.setMessages(text, question, level, language);
    exchange.temperature = localTemperature;
    exchange.timeout = chatTimeout;
    exchange.stop = options_.stop;
    exchange.onPartial = partial;
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
