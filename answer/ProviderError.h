#pragma once

#include "answer/ModelFailure.h"
#include "base/HttpTransport.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace ulvo {

// What a provider said when it refused a request: its status, its error object's fields (OpenAI's
// shape, which the compatible providers copy) and when to try again.
struct ProviderError {
    long status = 0;
    std::string message; // the provider's own words, one line, shortened
    std::string code;    // "unsupported_parameter", "context_length_exceeded", "insufficient_quota", ...
    std::string param;   // the request member it names, when it names one
    std::optional<std::chrono::seconds> retryAfter;
};

// Reads an error reply (OpenAI's {"error": {...}}, Gemini's [{"error": {...}}], a bare string or plain
// text); an HTML page gives no words. `now` resolves a Retry-After given as a date.
ProviderError readProviderError(const HttpResponse& response,
                                std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
// An error object met inside a stream (any of the shapes above, already parsed).
ProviderError readProviderErrorObject(std::string_view json);

// ULVO's sentence for the refusal, then the provider's words: "Check Settings" only where settings are
// the cause. An empty provider name is the built-in model: its own fixed sentence, then the words.
std::string refusalMessage(const ProviderError& error, std::string_view providerName,
                           const std::string& builtInSentence);

// Thrown for a refusal, so the caller can adapt the request to what the provider named.
class ProviderRefusal : public ModelFailure {
public:
    ProviderRefusal(const std::string& message, ProviderError error)
        : ModelFailure(message)
        , error_(std::move(error)) {}
    const ProviderError& error() const { return error_; }

private:
    ProviderError error_;
};

} // namespace ulvo
