#pragma once

#include <exception>
#include <optional>
#include <string>

namespace ulvo {

// The outcome of one explanation: the cleaned answer, or the error that stopped it.
class ExplainResult {
public:
    static ExplainResult success(std::string answer) { return ExplainResult(std::move(answer), nullptr); }
    static ExplainResult failure(std::exception_ptr error) {
        return ExplainResult(std::nullopt, std::move(error));
    }

    bool ok() const { return answer_.has_value(); }
    const std::string& answer() const { return *answer_; }
    const std::exception_ptr& error() const { return error_; }
    // What the user is shown for a failure: the error's own message, unchanged.
    std::string errorMessage() const;

private:
    ExplainResult(std::optional<std::string> answer, std::exception_ptr error)
        : answer_(std::move(answer))
        , error_(std::move(error)) {}

    std::optional<std::string> answer_;
    std::exception_ptr error_;
};

// The user-facing description of any error thrown on an answer path.
std::string describeError(const std::exception_ptr& error);

} // namespace ulvo
