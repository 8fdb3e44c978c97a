#include "answer/ProviderRules.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>

namespace ulvo {

namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The text between the quotes that follow `after` in the message ("Use 'max_completion_tokens' instead").
std::string quotedAfter(const std::string& message, std::string_view after) {
    const std::size_t at = message.find(after);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t open = message.find('\'', at + after.size());
    const std::size_t close = open == std::string::npos ? open : message.find('\'', open + 1);
    return close == std::string::npos ? std::string() : message.substr(open + 1, close - open - 1);
}

bool isOpenAIReasoning(std::string_view name) {
    // "gpt-5", "gpt-5.4-mini", "o3", "o4-mini", also behind a router's "openai/" prefix.
    if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos) {
        name.remove_prefix(slash + 1);
    }
    if (startsWith(name, "gpt-5")) {
        return name.find("chat") == std::string_view::npos; // "gpt-5-chat-latest" takes the old rules
    }
    return name.size() >= 2 && name[0] == 'o' && std::isdigit(static_cast<unsigned char>(name[1])) != 0;
}

} // namespace

bool isReasoningModel(std::string_view model) {
    const std::string name = lowered(model);
    if (isOpenAIReasoning(name)) {
        return true;
    }
    if (name.find("non-reasoning") != std::string::npos) {
        return false;
    }
    static constexpr std::array<std::string_view, 10> families{
        "gemini-2.5", "gemini-3",  "qwen3",    "qwq",       "deepseek-r1",
        "gpt-oss",    "reasoning", "thinking", "magistral", "-r1"};
    return std::any_of(families.begin(), families.end(),
                       [&name](std::string_view family) { return name.find(family) != std::string::npos; });
}

void applyProviderRules(ChatExchange& exchange, ModelProvider provider) {
    const bool reasoning = isReasoningModel(exchange.model);
    if (reasoning) {
        exchange.maxTokens = reasoningMaxTokens;
    }
    if (provider == ModelProvider::openAI) {
        exchange.tokenLimitMember = "max_completion_tokens";
        if (isOpenAIReasoning(lowered(exchange.model))) {
            exchange.reasoningEffort = "low"; // the lowest every model of the family takes
            exchange.adaptation.emplace("temperature", "");
        }
    } else if (provider == ModelProvider::gemini && reasoning) {
        exchange.reasoningEffort = "low";
    }
}

std::optional<std::pair<std::string, std::string>> requestChange(const ProviderError& error,
                                                                 const std::string& body) {
    if (error.status != 400) {
        return std::nullopt;
    }
    const std::string& message = error.message;
    const bool unsupportedParameter = error.code == "unsupported_parameter" ||
                                      startsWith(message, "Unsupported parameter") ||
                                      startsWith(message, "Unrecognized request argument");
    const bool unsupportedValue =
        error.code == "unsupported_value" || startsWith(message, "Unsupported value");
    if (!unsupportedParameter && !unsupportedValue) {
        return std::nullopt;
    }
    std::string member = error.param;
    if (member.empty()) {
        member = quotedAfter(message, unsupportedValue ? "Unsupported value" : "Unsupported parameter");
    }
    const nlohmann::json sent = nlohmann::json::parse(body, nullptr, false);
    if (member.empty() || member == "model" || member == "messages" || member == "stream" ||
        !sent.is_object() || !sent.contains(member)) {
        return std::nullopt;
    }
    if (unsupportedValue) {
        return std::pair{member, std::string()}; // the provider's default value
    }
    std::string replacement = quotedAfter(message, "Use");
    if (replacement.empty() && member == "max_tokens") {
        replacement = "max_completion_tokens";
    } else if (replacement.empty() && member == "max_completion_tokens") {
        replacement = "max_tokens";
    }
    if (replacement == member || sent.contains(replacement)) {
        replacement.clear();
    }
    return std::pair{member, replacement};
}

} // namespace ulvo
