#include "answer/ChatStream.h"

#include <nlohmann/json.hpp>

namespace ulvo {

bool ChatStreamParser::feed(std::string_view bytes) {
    grew_ = false;
    pending_.append(bytes);
    std::size_t start = 0;
    for (std::size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n', start)) {
        std::string_view current(pending_.data() + start, end - start);
        if (!current.empty() && current.back() == '\r') {
            current.remove_suffix(1);
        }
        line(current);
        start = end + 1;
    }
    pending_.erase(0, start);
    return grew_;
}

void ChatStreamParser::line(std::string_view line) {
    if (line.empty()) { // the blank line that ends an event
        if (!event_.empty()) {
            data(event_);
            event_.clear();
        }
        return;
    }
    if (line.front() == ':') {
        return; // a keep-alive comment
    }
    constexpr std::string_view field = "data:";
    if (line.substr(0, field.size()) != field) {
        // "event:", "id:" and "retry:" carry nothing an answer needs; anything else before the first
        // event means the body is not an event stream at all.
        return;
    }
    std::string_view value = line.substr(field.size());
    if (!value.empty() && value.front() == ' ') {
        value.remove_prefix(1);
    }
    sawEvent_ = true;
    // Providers end each data line with a blank line, but some send events back to back: a complete
    // JSON value or [DONE] is taken at once.
    if (event_.empty() && (value == "[DONE]" || nlohmann::json::accept(value))) {
        data(value);
        return;
    }
    if (!event_.empty()) {
        event_ += '\n';
    }
    event_.append(value);
}

void ChatStreamParser::data(std::string_view payload) {
    if (payload == "[DONE]") {
        done_ = true;
        return;
    }
    const nlohmann::json chunk = nlohmann::json::parse(payload, nullptr, false);
    if (chunk.is_discarded() || !chunk.is_object()) {
        malformed_ = true;
        return;
    }
    if (const auto error = chunk.find("error"); error != chunk.end()) {
        providerError_ = std::string(payload);
        return;
    }
    const auto choices = chunk.find("choices");
    if (choices == chunk.end() || !choices->is_array()) {
        malformed_ = true;
        return;
    }
    if (choices->empty()) {
        return; // a usage-only chunk
    }
    const nlohmann::json& choice = choices->front();
    if (!choice.is_object()) {
        malformed_ = true;
        return;
    }
    if (const auto reason = choice.find("finish_reason"); reason != choice.end() && reason->is_string()) {
        finishReason_ = reason->get<std::string>();
    }
    const auto delta = choice.find("delta");
    if (delta == choice.end() || !delta->is_object()) {
        return;
    }
    for (const char* name : {"reasoning_content", "reasoning"}) {
        const auto reasoning = delta->find(name);
        if (!reasoned_ && reasoning != delta->end() && reasoning->is_string() &&
            !reasoning->get_ref<const std::string&>().empty()) {
            reasoned_ = true;
            grew_ = true; // the card says the model is thinking
        }
    }
    const auto content = delta->find("content");
    if (content != delta->end() && content->is_string() && !content->get_ref<const std::string&>().empty()) {
        text_ += content->get_ref<const std::string&>(); // a role-only first chunk adds nothing
        grew_ = true;
    }
}

} // namespace ulvo
