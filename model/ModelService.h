#pragma once

#include "model/ExplainResult.h"
#include "model/HttpTransport.h"
#include "model/Level.h"
#include "model/LocalModel.h"
#include "model/SerialQueue.h"
#include "settings/ModelPreferences.h"
#include "settings/PreferenceStore.h"
#include "settings/SecretStore.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ulvo {

// Turns (text, optional follow-up question, level) into one cleaned answer, one request at a time.
class ModelService {
public:
    using Completion = std::function<void(ExplainResult)>;

    // What the service talks to. The stores are read afresh for every request; the transport,
    // the local model and the on-device runtime are used on the model queue only.
    struct Dependencies {
        std::shared_ptr<const PreferenceStore> preferences;
        std::shared_ptr<SecretStore> secrets;
        std::shared_ptr<HttpTransport> transport;
        std::shared_ptr<LocalModel> local = std::make_shared<MissingLocalModel>();
        std::shared_ptr<OnDeviceRuntime> onDevice = std::make_shared<NoOnDeviceRuntime>();
        std::function<std::string()> responseLanguage;
        // Idle time-out of a cloud request.
        std::chrono::milliseconds requestTimeout{50'000};
        // Shared with the local model and the on-device runtime, raised when this service goes away;
        // made here when absent.
        std::shared_ptr<std::atomic<bool>> stop;
    };

    explicit ModelService(Dependencies dependencies);
    // Quits at once: queued requests are dropped without their completions (nobody is left to receive
    // them) and the running one gives up at its next look at the stop flag.
    ~ModelService();
    ModelService(const ModelService&) = delete;
    ModelService& operator=(const ModelService&) = delete;

    // Returns at once; the completion runs exactly once, on the model queue.
    void explain(std::string text, std::optional<std::string> question, Level level, Completion completion);

    // Blocking, model queue only: the raw answer of the configured provider, or throws.
    std::string configuredAnswer(const std::string& text, const std::optional<std::string>& question,
                                 Level level);

    SerialQueue& queue() { return queue_; }

private:
    ExplainResult answer(const std::string& text, const std::optional<std::string>& question, Level level);
    std::string cloudAnswer(const std::string& text, const std::optional<std::string>& question, Level level,
                            const ModelPreferences& connection, const std::string& key);

    Dependencies deps_;
    SerialQueue queue_;
};

} // namespace ulvo
