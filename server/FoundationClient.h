#pragma once

#include "answer/LocalModel.h"
#include "base/ProcessLauncher.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// The application's side of the companion tool ulvo-foundation-runtime: one run per request,
// its one JSON reply turned into an answer or into nothing.
class FoundationRuntimeClient final : public OnDeviceRuntime {
public:
    // A tool that has not answered by then is killed, so a hung tool cannot hold the model queue.
    static constexpr std::chrono::milliseconds toolTimeLimit{120'000};

    struct Options {
        std::optional<std::filesystem::path> runtimeRoot;
        std::shared_ptr<ProcessLauncher> launcher;
        std::function<std::string()> responseLanguage;
        std::chrono::milliseconds timeLimit = toolTimeLimit; // shorter only in tests
        // Raised when the answer service goes away: a running tool is ended.
        StopFlag stop;
    };

    explicit FoundationRuntimeClient(Options options);

    // Model queue only. Never throws: every failure is no answer.
    std::optional<std::string> foundationAnswer(const std::string& text, Level level) override;

    // The seven arguments of an explanation request.
    static std::vector<std::string> explainArguments(const std::string& text, Level level,
                                                     const std::string& language);

    // The answer in a reply: "ok" the boolean true and "text" a string; nothing otherwise.
    static std::optional<std::string> replyAnswer(const std::string& output);

private:
    Options options_;
};

} // namespace ulvo
