#pragma once

#include "answer/ExplainResult.h"
#include "answer/Level.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace ulvo::host {

enum class RequestType { explain, followup, availability };

struct Request { // NOLINT(bugprone-exception-escape): json moves without throwing; its check only asserts
    RequestType type = RequestType::explain;
    std::string text;
    std::optional<std::string> question;
    Level level = defaultLevel;
    nlohmann::json id; // echoed in the reply so a kept connection can match replies; null when absent
};

struct RequestError {
    std::string message;
    nlohmann::json id;
    std::string type; // as sent, when it was a string
};

// One request message: {"type": "explain", "text", "level"?}, {"type": "followup", "text", "question",
// "level"?} or {"type": "availability"}, each with an optional string or number "id".
std::variant<Request, RequestError> parseRequest(std::string_view payload);

struct Availability {
    bool available = false;
    std::string provider;     // the provider's raw value
    std::string providerName; // its label
    std::string error;        // why not, when not available
};

inline constexpr const char* supersededMessage = "A newer request took this one's place.";

// The one final reply of an explanation or follow-up: "ok" and "answer", or "error" (with "superseded"
// when a newer request ended it).
std::string answerReply(const Request& request, const ExplainResult& result);
// The answer so far, any number of times before the final reply: "partial": true and "text". Nothing
// when it would be over the browsers' limit: only the final reply may end a request.
std::optional<std::string> partialReply(const Request& request, const std::string& text);
std::string availabilityReply(const Request& request, const Availability& availability);
std::string errorReply(std::string_view message, const nlohmann::json& id, std::string_view type);

std::string_view typeName(RequestType type);

} // namespace ulvo::host
