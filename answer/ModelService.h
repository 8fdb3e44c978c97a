#pragma once

#include "answer/ChatRequest.h"
#include "answer/ExplainResult.h"
#include "answer/Level.h"
#include "answer/LocalModel.h"
#include "base/HttpTransport.h"
#include "base/SerialQueue.h"
#include "settings/ModelPreferences.h"
#include "settings/PreferenceStore.h"
#include "settings/SecretStore.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ulvo {

// Turns (text, optional follow-up question, level) into one cleaned answer, one request at a time. The
// latest request wins: a new one ends the one in flight (its HTTP exchange is closed, a run of the
// companion tool ended) and the queued ones, which complete as superseded.
class ModelService {
public:
    using Completion = std::function<void(ExplainResult)>;
    // The answer so far, cleaned for display; called on the model queue, at most about 20 times a second.
    using Partial = std::function<void(const std::string&)>;
    static constexpr std::chrono::milliseconds partialInterval{50};

    // What the service talks to. The stores are read afresh for every request; the transport,
    // the local model and the on-device runtime are used on the model queue only.
    struct Dependencies {
        std::shared_ptr<const PreferenceStore> preferences;
        std::shared_ptr<SecretStore> secrets;
        std::shared_ptr<HttpTransport> transport;
        std::shared_ptr<LocalModel> local = std::make_shared<MissingLocalModel>();
        std::shared_ptr<OnDeviceRuntime> onDevice = std::make_shared<NoOnDeviceRuntime>();
        std::function<std::string()> responseLanguage;
        // Idle time-out of a cloud request, and its overall limit (keep-alive comments move bytes).
        std::chrono::milliseconds requestTimeout{50'000};
        std::chrono::milliseconds requestDeadline{120'000};
        // Shared with the local model and the on-device runtime: raised when the request in flight is
        // superseded or this service goes away; made here when absent.
        std::shared_ptr<std::atomic<bool>> stop;
    };

    explicit ModelService(Dependencies dependencies);
    // Quits at once: queued requests are dropped without their completions (nobody is left to receive
    // them) and the running one gives up at its next look at the stop flag.
    ~ModelService();
    ModelService(const ModelService&) = delete;
    ModelService& operator=(const ModelService&) = delete;

    // Returns at once; the completion runs exactly once, on the model queue (as superseded when a later
    // request or cancel() came first). partial: optional.
    void explain(std::string text, std::optional<std::string> question, Level level, Completion completion,
                 Partial partial = {});
    // Ends the request in flight and the queued ones (the card closed, a new selection came).
    void cancel();
    // Readies the built-in model for a first explanation at this level, when it is the provider; after
    // whatever is queued, and superseded by any request like one.
    void prepare(Level level);
    // The same when the user is about to ask (the card opened): a built-in model that is not running
    // is started now, so the first explanation does not wait for it.
    void startEarly(Level level);

    // Blocking, model queue only: the raw answer of the configured provider, or throws.
    ChatAnswer configuredAnswer(const std::string& text, const std::optional<std::string>& question,
                                Level level, const LocalModel::PartialText& partial = {});

    SerialQueue& queue() { return queue_; }

private:
    void readyLocal(Level level, bool start);
    ExplainResult answer(const std::string& text, const std::optional<std::string>& question, Level level,
                         const Partial& partial);
    // Takes a new request's turn: the current one and everything queued are superseded.
    std::uint64_t supersede();
    // On the model queue, as a task starts: whether it is still the latest (then it runs with the stop
    // flag lowered).
    bool begin(std::uint64_t generation);
    ChatAnswer cloudAnswer(const std::string& text, const std::optional<std::string>& question, Level level,
                           const ModelPreferences& connection, const std::string& key,
                           const LocalModel::PartialText& partial);

    // What each provider and model refused, learnt from its 400s, for the program's life.
    RequestAdaptation adaptationFor(const std::string& connection);
    void remember(const std::string& connection, const std::string& member, const std::string& replacement);

    Dependencies deps_;
    std::mutex adaptationsMutex_;
    std::map<std::string, RequestAdaptation> adaptations_;
    std::mutex turn_;
    std::uint64_t latest_ = 0;
    bool quitting_ = false;
    SerialQueue queue_;
};

} // namespace ulvo
