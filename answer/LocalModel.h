#pragma once

#include "answer/Level.h"
#include "base/Result.h"

#include <functional>
#include <optional>
#include <string>

namespace ulvo {

// The built-in model's file is not installed (or its runtime lacks a piece); the card offers the download.
inline constexpr const char* modelIncompleteMessage = "The built-in local model is incomplete.";

// The built-in local model: blocking, returns the raw answer or the failure in the user's words.
class LocalModel {
public:
    using PartialText = std::function<void(const std::string&)>;

    virtual ~LocalModel() = default;
    virtual Result<std::string> localAnswer(const std::string& text,
                                            const std::optional<std::string>& question, Level level) = 0;
    // The same, giving the answer's raw text so far each time it grows; by default none comes early.
    virtual Result<std::string> streamedLocalAnswer(const std::string& text,
                                                    const std::optional<std::string>& question, Level level,
                                                    const PartialText& partial) {
        (void)partial;
        return localAnswer(text, question, level);
    }
    // Readies the model for a first explanation at this level (a prompt cache, say); never throws.
    virtual void prepare(Level level) { (void)level; }
    // The same when the user is about to ask: a model that is not running yet is started for it.
    virtual void startEarly(Level level) { prepare(level); }
};

// The on-device companion runtime: the second chance of a failed local first explanation.
// Never throws; every failure is no answer.
class OnDeviceRuntime {
public:
    virtual ~OnDeviceRuntime() = default;
    virtual std::optional<std::string> foundationAnswer(const std::string& text, Level level) = 0;
};

// Stand-ins for a build without the runtime directory.
class MissingLocalModel final : public LocalModel {
public:
    Result<std::string> localAnswer(const std::string&, const std::optional<std::string>&, Level) override {
        return Failure{"The built-in local model is missing."};
    }
};

class NoOnDeviceRuntime final : public OnDeviceRuntime {
public:
    std::optional<std::string> foundationAnswer(const std::string&, Level) override { return std::nullopt; }
};

} // namespace ulvo
