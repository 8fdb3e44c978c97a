#include "download/ModelInstaller.h"

#include "download/ModelCatalogue.h"
#include "server/ModelFiles.h"
#include "server/RuntimeConfig.h"

#include <chrono>
#include <exception>

namespace ulvo {

namespace {

using Phase = ModelInstallState::Phase;

std::int64_t sizeOf(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    return error ? 0 : static_cast<std::int64_t>(size);
}

} // namespace

const char* phaseName(Phase phase) {
    switch (phase) {
    case Phase::unavailable:
        return "unavailable";
    case Phase::notInstalled:
        return "notInstalled";
    case Phase::downloading:
        return "downloading";
    case Phase::ready:
        return "ready";
    case Phase::failed:
        return "failed";
    }
    return "unavailable";
}

ModelInstaller::ModelInstaller(Options options)
    : options_(std::move(options)) {
    state_ = settledState();
}

ModelInstaller::~ModelInstaller() {
    stop_->store(true);
    if (worker_.joinable()) {
        worker_.join();
    }
}

Result<ModelInstaller::Target> ModelInstaller::target() const {
    if (!options_.runtimeRoot) {
        return Failure{"The built-in runtime is not installed; choose a cloud provider."};
    }
    const Result<RuntimeConfig> config = RuntimeConfig::load(*options_.runtimeRoot);
    const Result<ModelCatalogue> catalogue = ModelCatalogue::load(*options_.runtimeRoot);
    if (!config || !catalogue) {
        return Failure{"The built-in runtime's runtime-config.json or models.json cannot be read."};
    }
    Target target;
    target.destination = downloadDestination(*config);
    const CatalogueModel* model = catalogue->byFile(target.destination.filename().string());
    const CatalogueModel& chosen = model != nullptr ? *model : catalogue->defaultModel();
    target.name = chosen.name;
    target.url = chosen.url;
    target.bytes = chosen.bytes;
    target.sha256 = chosen.sha256;
    target.installed = findModelFile(*options_.runtimeRoot, *config);
    return target;
}

ModelInstallState ModelInstaller::settledState() const {
    ModelInstallState state;
    const Result<Target> found = target();
    if (!found) {
        state.message = found.failure().message;
        state.phase = Phase::unavailable;
        return state;
    }
    state.name = found->name;
    state.bytes = found->installed ? sizeOf(*found->installed) : found->bytes;
    state.phase = found->installed ? Phase::ready : Phase::notInstalled;
    return state;
}

ModelInstallState ModelInstaller::state() const {
    const std::lock_guard lock(mutex_);
    return state_;
}

void ModelInstaller::publish(const ModelInstallState& state) {
    {
        const std::lock_guard lock(mutex_);
        state_ = state;
    }
    if (options_.changed) {
        options_.changed(state);
    }
}

bool ModelInstaller::start(std::function<ModelInstallState()> job) {
    if (running_.exchange(true)) {
        return false;
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    stop_->store(false);
    worker_ = std::thread([this, job = std::move(job)] {
        ModelInstallState final;
        try {
            final = job();
        } catch (const std::exception& failure) {
            // Out of memory, or a library's own throw: the job fails, the program goes on.
            final = settledState();
            final.phase = Phase::failed;
            final.message = failure.what();
        }
        // Free before the final state is told: a click that answers it must be able to start a job.
        running_.store(false);
        publish(final);
    });
    return true;
}

bool ModelInstaller::download() {
    const Result<Target> found = target();
    if (!found) {
        return false;
    }
    return start([this, found = *found] {
        ModelInstallState state;
        state.phase = Phase::downloading;
        state.name = found.name;
        state.bytes = found.bytes;
        publish(state);
        using Clock = std::chrono::steady_clock;
        auto last = Clock::now();
        std::optional<std::pair<Clock::time_point, std::int64_t>> first;
        DownloadRequest request;
        request.url = found.url;
        request.destination = found.destination;
        request.sha256 = found.sha256;
        request.expectedBytes = found.bytes;
        request.stop = stop_;
        request.progress = [&](const DownloadProgress& progress) {
            const auto now = Clock::now();
            if (!first) {
                first = {now, progress.done};
            }
            if (now - last < std::chrono::milliseconds(250)) {
                return;
            }
            last = now;
            const double seconds = std::chrono::duration<double>(now - first->first).count();
            state.progress = progress;
            state.bytesPerSecond =
                seconds > 0 ? static_cast<double>(progress.done - first->second) / seconds : 0;
            publish(state);
        };
        const Result<void> done = downloadModel(*options_.transport, request);
        if (done || isRaised(stop_)) {
            return settledState(); // installed, or cancelled: a cut-short part is kept for a resume
        }
        ModelInstallState failed = settledState();
        failed.phase = Phase::failed;
        failed.message = done.failure().message;
        return failed;
    });
}

bool ModelInstaller::useFile(const std::filesystem::path& file) {
    const Result<Target> found = target();
    if (!found) {
        return false;
    }
    return start([this, file, destination = found->destination] {
        const Result<void> done = installModelFile(file, destination);
        ModelInstallState state = settledState();
        if (!done) {
            if (state.phase != Phase::ready) {
                state.phase = Phase::failed;
            }
            state.message = done.failure().message;
        }
        return state;
    });
}

void ModelInstaller::cancel() {
    stop_->store(true);
}

void ModelInstaller::remove() {
    const Result<Target> found = target();
    if (!found || running_.load()) {
        return;
    }
    std::error_code ignored;
    std::filesystem::remove(found->destination, ignored);
    std::filesystem::remove(found->destination.string() + ".part", ignored);
    publish(settledState());
}

} // namespace ulvo
