#pragma once

#include "answer/ChatRequest.h"
#include "answer/LocalModel.h"
#include "base/HttpTransport.h"
#include "base/ProcessLauncher.h"
#include "server/ComputeDevice.h"
#include "server/RuntimeConfig.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// The built-in model: a llama-server child on 127.0.0.1:7332, started on first use and never stopped,
// so it outlives the application and a later run reuses whatever answers on the port.
class LocalServer final : public LocalModel {
public:
    static constexpr const char* healthURL = "http://127.0.0.1:7332/health";
    static constexpr const char* chatURL = "http://127.0.0.1:7332/v1/chat/completions";
    static constexpr const char* modelsURL = "http://127.0.0.1:7332/v1/models";

    struct Options {
        std::optional<std::filesystem::path> runtimeRoot;
        std::shared_ptr<HttpTransport> transport;
        std::shared_ptr<ProcessLauncher> launcher;
        std::function<std::string()> responseLanguage;
        // The server's key; unset: this user's own (RuntimeKey), made on first use.
        std::function<std::string()> key;
        std::chrono::milliseconds readinessLimit{30'000};
        std::chrono::milliseconds probeInterval{100};
        // Raised when the answer service goes away: the readiness wait and the exchanges give up.
        StopFlag stop;
        // Whether what listens on the port belongs to this user (the system's socket table); unset: no
        // such check (stand-ins in tests). Nothing is sent to a server that fails it.
        std::function<bool()> portIsUsers;
        // The user's "CPU only" choice, read at each launch; unset: a GPU when there is one.
        std::function<bool()> cpuOnly;
        // Where the prompt caches of the bands' system prompts outlive the server; unset: not kept.
        std::optional<std::filesystem::path> promptCacheFolder;
    };

    // How one launch runs the model.
    struct LaunchChoices {
        bool cpuOnly = false;
        std::optional<std::filesystem::path> promptCacheFolder;
    };

    explicit LocalServer(Options options);

    // Model queue only, like everything here.
    bool healthIsReady();
    Result<void> ensureServer(const RuntimeConfig& config);
    Result<std::string> localAnswer(const std::string& text, const std::optional<std::string>& question,
                                    Level level) override;
    Result<std::string> streamedLocalAnswer(const std::string& text,
                                            const std::optional<std::string>& question, Level level,
                                            const PartialText& partial) override;
    // Puts the band's system prompt into the server's prompt cache with a request that generates one
    // token, so a first answer waits only for the selection's own tokens. Only once the server is
    // healthy: it never starts the server for this.
    void prepare(Level level) override;
    // Starts the server if none answers, then prepares as above; failures wait for the explanation.
    void startEarly(Level level) override;

    // The arguments and the environment of a launch, for a runtime directory and machine. The runtime's
    // key travels in the environment (LLAMA_API_KEY): a command line is readable by every local user.
    static std::vector<std::string> serverArguments(const RuntimeConfig& config,
                                                    const std::filesystem::path& modelPath,
                                                    const LaunchChoices& choices);
    static std::vector<std::string> serverArguments(const RuntimeConfig& config,
                                                    const std::filesystem::path& modelPath) {
        return serverArguments(config, modelPath, LaunchChoices{});
    }
    static Environment serverEnvironment(Environment base, const std::filesystem::path& runtimeRoot,
                                         const std::string& machine,
                                         const std::optional<std::string>& apiKey = std::nullopt,
                                         bool withGpu = true);
    // The server starts in its libraries' folder, where it looks for its CPU backends.
    static std::filesystem::path libraryFolder(const std::filesystem::path& runtimeRoot,
                                               const std::string& machine);
    static std::filesystem::path vulkanBackend(const std::filesystem::path& runtimeRoot,
                                               const std::string& machine);

    // The device of the last launch; none until one.
    const std::optional<ComputeDevice>& device() const { return device_; }

    // The last launched child; empty until a launch, and when an earlier run's server was reused.
    ChildProcess* llamaProcess() const { return llamaProcess_.get(); }

private:
    Options options_;
    std::unique_ptr<ChildProcess> llamaProcess_;
    // The key, asked for at each use: a user who removes the file gets a new one at the next start.
    Result<std::string> key() const;
    // With the key read once for the whole answer.
    Result<void> ensureServer(const RuntimeConfig& config, const std::string& serverKey);
    // The port must be this user's; a server this object did not start must also refuse a made-up key
    // (one that takes any key is not the built-in server) before it may see the real one, and then take
    // it: another user's (or one from before the key was the user's own) would refuse every request.
    Result<void> acceptServer(const std::string& key);
    long modelsStatus(const std::string& key);

    // A GPU named by the server itself, unless the user chose the CPU; asked once per launch.
    ComputeDevice chooseDevice(LaunchRequest probe);
    // Puts the exchange's system prompt into the server's slot: from the cache file kept for it when
    // there is one, otherwise computed once (one generated token) and saved for the next server.
    void warmSystemPrompt(ChatExchange exchange);
    bool slotAction(const char* action, const ChatExchange& exchange, const std::string& fileName);
    std::optional<std::string> promptCacheName(const std::string& system) const;

    bool probeAnswered_ = false; // the last health probe got an HTTP reply, whatever its status
    std::optional<ComputeDevice> device_;
    std::chrono::steady_clock::time_point lastWarmed_;
    std::string modelIdentity_; // of the launched server's model and program: stale caches never match
    std::optional<std::string> preparedPrompt_; // the system prompt last put in the server's cache
};

} // namespace ulvo
