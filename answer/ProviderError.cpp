#include "answer/ProviderError.h"

#include "base/Text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <ctime>

namespace ulvo {

namespace {

using nlohmann::json;

constexpr std::size_t maxWordsBytes = 200;

// One line of whole characters, no control characters, at most about 200 bytes.
std::string shortened(std::string_view text) {
    std::string line;
    for (const char c : repairedUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        const bool space = byte < 0x20 || byte == 0x7f;
        if (space) {
            if (!line.empty() && line.back() != ' ') {
                line += ' ';
            }
        } else {
            line += c;
        }
    }
    line = trimmedWhitespaceAndNewlines(line);
    if (line.size() <= maxWordsBytes) {
        return line;
    }
    std::size_t cut = maxWordsBytes;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
        --cut; // not inside a character
    }
    return trimmedWhitespaceAndNewlines(line.substr(0, cut)) + "\u2026";
}

std::string stringOf(const json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end()) {
        return {};
    }
    if (found->is_string()) {
        return found->get<std::string>();
    }
    return found->is_number() ? found->dump() : std::string();
}

void readObject(const json& value, ProviderError& error) {
    const json* object = &value;
    if (value.is_array() && !value.empty()) {
        object = &value.front(); // Gemini wraps its error in an array
    }
    if (!object->is_object()) {
        return;
    }
    if (const auto inner = object->find("error"); inner != object->end()) {
        if (inner->is_object()) {
            object = &*inner;
        } else if (inner->is_string()) {
            error.message = shortened(inner->get<std::string>());
            error.code = stringOf(*object, "code");
            return;
        }
    }
    error.message = shortened(stringOf(*object, "message"));
    if (error.message.empty()) {
        error.message = shortened(stringOf(*object, "detail"));
    }
    error.code = stringOf(*object, "code");
    if (error.code.empty() || std::all_of(error.code.begin(), error.code.end(), ::isdigit)) {
        const std::string type = stringOf(*object, "type");
        error.code = type.empty() ? stringOf(*object, "status") : type;
    }
    error.param = stringOf(*object, "param");
}

std::optional<std::chrono::seconds> retryAfter(const std::string& value,
                                               std::chrono::system_clock::time_point now) {
    if (value.empty()) {
        return std::nullopt;
    }
    if (std::all_of(value.begin(), value.end(), ::isdigit)) {
        return value.size() > 9 ? std::nullopt : std::optional(std::chrono::seconds(std::stol(value)));
    }
    std::tm when{};
    if (::strptime(value.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &when) == nullptr) {
        return std::nullopt;
    }
    const auto at = std::chrono::system_clock::from_time_t(::timegm(&when));
    return std::max(std::chrono::seconds(0), std::chrono::duration_cast<std::chrono::seconds>(at - now));
}

bool mentions(const std::string& text, std::string_view word) {
    return text.find(word) != std::string::npos;
}

std::string waitText(std::chrono::seconds wait) {
    if (wait.count() <= 1) {
        return "Try again in a moment.";
    }
    if (wait.count() < 120) {
        return "Try again in " + std::to_string(wait.count()) + " seconds.";
    }
    return "Try again in " + std::to_string((wait.count() + 59) / 60) + " minutes.";
}

std::string sentence(const ProviderError& error) {
    const std::string& code = error.code;
    switch (error.status) {
    case 401:
        return "The provider did not accept the API key. Check it in Settings.";
    case 403:
        return "The provider refused access to this model. Check Settings.";
    case 404:
        return "The provider does not know this model or address. Check Settings.";
    case 402:
        return "The provider account has no credit left.";
    case 413:
        return "The selected text is too long for this provider. Select less text.";
    case 429:
        if (mentions(code, "quota")) {
            return "The provider account has used up its quota.";
        }
        return "The provider is receiving too many requests. " +
               waitText(error.retryAfter.value_or(std::chrono::seconds(0)));
    default:
        break;
    }
    if (mentions(code, "context_length") || mentions(error.message, "context length") ||
        mentions(error.message, "maximum context")) {
        return "The selected text is too long for this model. Select less text.";
    }
    if (error.status == 400 || error.status == 422) {
        return "The provider could not use this request.";
    }
    if (error.status >= 500) {
        std::string text = "The provider has a problem right now.";
        return text + " " + (error.retryAfter ? waitText(*error.retryAfter) : "Try again later.");
    }
    return "The selected provider could not answer.";
}

} // namespace

ProviderError readProviderError(const HttpResponse& response, std::chrono::system_clock::time_point now) {
    ProviderError error;
    error.status = response.status;
    const json body = json::parse(response.body, nullptr, false);
    if (!body.is_discarded()) {
        readObject(body, error);
    } else if (response.body.find('<') == std::string::npos) {
        error.message = shortened(response.body); // plain text; an HTML page says nothing useful
    }
    error.retryAfter = retryAfter(response.header("retry-after").value_or(""), now);
    return error;
}

ProviderError readProviderErrorObject(std::string_view text) {
    ProviderError error;
    const json body = json::parse(text, nullptr, false);
    if (!body.is_discarded()) {
        readObject(body, error);
        const auto inner = body.is_object() ? body.find("error") : body.end();
        if (inner != body.end() && inner->is_object()) {
            if (const auto code = inner->find("code"); code != inner->end() && code->is_number_integer()) {
                error.status = code->get<long>();
            }
        }
    }
    return error;
}

std::string refusalMessage(const ProviderError& error, std::string_view providerName,
                           const std::string& builtInSentence) {
    std::string text = providerName.empty() ? builtInSentence : sentence(error);
    if (!error.message.empty()) {
        text += " (";
        if (!providerName.empty()) {
            text.append(providerName).append(" says: ");
        }
        text += error.message + ")";
    }
    return text;
}

} // namespace ulvo
