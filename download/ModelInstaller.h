#pragma once

#include "base/HttpTransport.h"
#include "base/Result.h"
#include "download/ModelDownload.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace ulvo {

// The built-in model as the user manages it.
struct ModelInstallState {
    enum class Phase { unavailable, notInstalled, downloading, ready, failed };
    Phase phase = Phase::unavailable;
    std::string name;       // the catalogue's name of the model
    std::int64_t bytes = 0; // the installed file's size, or the catalogue's
    DownloadProgress progress;
    double bytesPerSecond = 0;
    std::string message; // why it failed, or why it is unavailable

    bool operator==(const ModelInstallState&) const = default;
};

const char* phaseName(ModelInstallState::Phase phase);

// Downloads, installs and removes the built-in model in the background, one job at a time, for every
// part of the program (Settings, the card); the job goes on when the window that started it closes.
class ModelInstaller {
public:
    struct Options {
        std::optional<std::filesystem::path> runtimeRoot;
        // Its own: a download must not wait behind an answer on the chat connection.
        std::shared_ptr<HttpTransport> transport;
        // Every change of state, on the installer's thread or the caller's; at most a few a second.
        std::function<void(const ModelInstallState&)> changed;
    };

    explicit ModelInstaller(Options options);
    // Ends a running job (a download keeps its part file for the next start) and waits for it.
    ~ModelInstaller();
    ModelInstaller(const ModelInstaller&) = delete;
    ModelInstaller& operator=(const ModelInstaller&) = delete;

    ModelInstallState state() const;
    // Starts the catalogue's model downloading; false while a job runs (a second click) or when there
    // is nothing to download.
    bool download();
    // A file the user chose: checked as GGUF and copied in place of a download.
    bool useFile(const std::filesystem::path& file);
    void cancel();
    // Deletes the installed model (and a cut-short download).
    void remove();

private:
    struct Target {
        std::string name;
        std::string url;
        std::int64_t bytes = 0;
        std::optional<std::string> sha256;
        std::filesystem::path destination;
        std::optional<std::filesystem::path> installed;
    };
    Result<Target> target() const;
    ModelInstallState settledState() const;
    // Runs job on the worker; its result is published as the final state.
    bool start(std::function<ModelInstallState()> job);
    void publish(const ModelInstallState& state);

    Options options_;
    mutable std::mutex mutex_;
    ModelInstallState state_;
    std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> running_{false};
    std::thread worker_;
};

} // namespace ulvo
