#include "answer/ChatRequest.h"

#include "answer/ChatStream.h"
#include "answer/ModelFailure.h"
#include "answer/Prompts.h"
#include "answer/ProviderError.h"

#include <nlohmann/json.hpp>

#include <new>

namespace ulvo {

namespace {

// The longest whole-character prefix of at most `limit` bytes.
std::string capped(std::string text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    text.resize(cut);
    return text;
}

struct PlainReply {
    std::optional<std::string> content;
    std::string finishReason;
    bool reasoned = false;
};

PlainReply plainReply(const std::string& body) {
    PlainReply reply;
    reply.content = chatContent(body);
    if (!reply.content) {
        return reply;
    }
    const nlohmann::json parsed = nlohmann::json::parse(body);
    const nlohmann::json& first = parsed["choices"][0];
    if (const auto reason = first.find("finish_reason"); reason != first.end() && reason->is_string()) {
        reply.finishReason = reason->get<std::string>();
    }
    const nlohmann::json& message = first["message"];
    for (const char* name : {"reasoning_content", "reasoning"}) {
        const auto reasoning = message.find(name);
        reply.reasoned = reply.reasoned || (reasoning != message.end() && reasoning->is_string() &&
                                            !reasoning->get_ref<const std::string&>().empty());
    }
    return reply;
}

} // namespace

void ChatExchange::setMessages(const std::string& text, const std::optional<std::string>& question,
                               Level level, const std::string& language) {
    system = question ? followupPrompt(text, level, language) : systemPrompt(level, language);
    user = question ? *question : text;
}

HttpRequest buildChatRequest(const ChatExchange& exchange) {
    nlohmann::json body = {
        {"model", exchange.model},
        {"messages", nlohmann::json::array({{{"role", "system"}, {"content", exchange.system}},
                                            {{"role", "user"}, {"content", exchange.user}}})},
        {"stream", true},
        {"temperature", exchange.temperature},
        {exchange.tokenLimitMember, exchange.maxTokens},
    };
    if (exchange.reasoningEffort) {
        body["reasoning_effort"] = *exchange.reasoningEffort;
    }
    for (const auto& [member, replacement] : exchange.adaptation) {
        const auto found = body.find(member);
        if (found == body.end()) {
            continue;
        }
        nlohmann::json value = *found;
        body.erase(found);
        if (!replacement.empty()) {
            body[replacement] = std::move(value);
        }
    }
    HttpRequest request;
    request.method = "POST";
    request.url = exchange.url;
    request.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + exchange.bearer}};
    request.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    request.timeout = exchange.timeout;
    request.overallLimit = exchange.deadline;
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

ChatAnswer exchangeChatAnswer(HttpTransport& transport, const ChatExchange& exchange,
                              const ChatFailureMessages& messages) {
    HttpRequest request = buildChatRequest(exchange);
    ChatStreamParser stream;
    bool full = false;
    request.onData = [&stream, &exchange, &full](std::string_view bytes) {
        if (stream.feed(bytes)) {
            full = stream.text().size() >= answerCapBytes;
            if (exchange.onPartial) {
                exchange.onPartial(capped(stream.text(), answerCapBytes));
            }
        }
        return true;
    };
    request.complete = [&stream, &full] { return full || (stream.sawEvent() && stream.complete()); };
    const HttpResponse response = syncRequest(transport, request, messages.noResponse);
    if (response.status != 200) {
        ProviderError error = readProviderError(response);
        const std::string message = refusalMessage(error, messages.providerName, messages.couldNotAnswer);
        throw ProviderRefusal(message, std::move(error));
    }
    if (stream.sawEvent()) {
        if (stream.providerError()) {
            // The provider's own words say what went wrong (a rate limit, an overloaded model).
            ProviderError error = readProviderErrorObject(*stream.providerError());
            const std::string message = refusalMessage(error, messages.providerName, messages.couldNotAnswer);
            throw ProviderRefusal(message, std::move(error));
        }
        if (stream.malformed()) {
            throw ModelFailure(messages.unreadable);
        }
        if (full) {
            return {capped(stream.text(), answerCapBytes), stream.finishReason(), stream.reasoned(), true};
        }
        if (!stream.complete()) {
            throw ModelFailure(incompleteAnswerMessage);
        }
        return {stream.text(), stream.finishReason(), stream.reasoned(), false};
    }
    PlainReply reply;
    try {
        reply = plainReply(response.body);
    } catch (const nlohmann::json::exception&) {
        throw ModelFailure(messages.unreadable); // an HTML page from a proxy, say
    }
    if (!reply.content) {
        throw ModelFailure(messages.unreadable);
    }
    const bool cut = reply.content->size() > answerCapBytes;
    return {capped(std::move(*reply.content), answerCapBytes), reply.finishReason, reply.reasoned, cut};
}

Result<std::string> exchangeChat(HttpTransport& transport, const ChatExchange& exchange,
                                 const ChatFailureMessages& messages) {
    try {
        return exchangeChatAnswer(transport, exchange, messages).text;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        return Failure{error.what()};
    }
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
