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
    // A later request took its place before it finished: nothing of it is shown.
    static ExplainResult superseded() {
        ExplainResult result(std::nullopt, nullptr);
        result.superseded_ = true;
        return result;
    }

    bool ok() const { return answer_.has_value(); }
    bool isSuperseded() const { return superseded_; }
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
    bool superseded_ = false;
};

// The user-facing description of any error thrown on an answer path.
std::string describeError(const std::exception_ptr& error);

} // namespace ulvo
