#include "model/ChatRequest.h"

#include "model/ChatStream.h"
#include "model/ModelFailure.h"
#include "model/Prompts.h"

#include <nlohmann/json.hpp>

namespace ulvo {

void ChatExchange::setMessages(const std::string& text, const std::optional<std::string>& question,
                               Level level, const std::string& language) {
    system = question ? followupPrompt(text, level, language) : systemPrompt(level, language);
    user = question ? *question : text;
}

HttpRequest buildChatRequest(const ChatExchange& exchange) {
    const nlohmann::json body = {
        {"model", exchange.model},
        {"messages", nlohmann::json::array({{{"role", "system"}, {"content", exchange.system}},
                                            {{"role", "user"}, {"content", exchange.user}}})},
        {"stream", true},
        {"temperature", exchange.temperature},
        {"max_tokens", chatMaxTokens},
    };
    HttpRequest request;
    request.method = "POST";
    request.url = exchange.url;
    request.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + exchange.bearer}};
    request.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    request.timeout = exchange.timeout;
    request.stop = exchange.stop;
    return request;
}

std::optional<std::string> chatContent(const std::string& body) {
    const nlohmann::json reply = nlohmann::json::parse(body);
    if (!reply.is_object()) {
        return std::nullopt;
    }
    const auto choices = reply.find("choices");
    if (choices == reply.end() || !choices->is_array() || choices->empty() || !choices->front().is_object()) {
        return std::nullopt;
    }
    const nlohmann::json& first = choices->front();
    const auto message = first.find("message");
    if (message == first.end() || !message->is_object()) {
        return std::nullopt;
    }
    const auto content = message->find("content");
    if (content == message->end() || !content->is_string()) {
        return std::nullopt;
    }
    return content->get<std::string>();
}

std::string exchangeChat(HttpTransport& transport, const ChatExchange& exchange,
                         const ChatFailureMessages& messages) {
    HttpRequest request = buildChatRequest(exchange);
    ChatStreamParser stream;
    request.onData = [&stream, &exchange](std::string_view bytes) {
        if (stream.feed(bytes) && exchange.onPartial) {
            exchange.onPartial(stream.text());
        }
        return true;
    };
    const HttpResponse response = syncRequest(transport, request, messages.noResponse);
    if (response.status != 200) {
        throw ModelFailure(messages.couldNotAnswer);
    }
    if (stream.sawEvent()) {
        if (stream.providerError()) {
            // The provider's own words say what went wrong (a rate limit, an overloaded model).
            throw ModelFailure(messages.couldNotAnswer + " (" + stream.providerError()->substr(0, 200) + ")");
        }
        if (stream.malformed()) {
            throw ModelFailure(messages.unreadable);
        }
        if (!stream.complete()) {
            throw ModelFailure(incompleteAnswerMessage);
        }
        return stream.text();
    }
    std::optional<std::string> content;
    try {
        content = chatContent(response.body);
    } catch (const nlohmann::json::exception&) {
        throw ModelFailure(messages.unreadable); // an HTML page from a proxy, say
    }
    if (!content) {
        throw ModelFailure(messages.unreadable);
    }
    return std::move(*content);
}

HttpResponse syncRequest(HttpTransport& transport, const HttpRequest& request,
                         const std::string& noResponse) {
    Result<HttpResponse> response = transport.send(request);
    if (!response) {
        if (response.failure().code == httpNoResponse) {
            throw ModelFailure(noResponse);
        }
        throw TransportError(response.failure().message);
    }
    return std::move(response).value();
}

} // namespace ulvo
