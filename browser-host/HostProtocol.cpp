#include "browser-host/HostProtocol.h"

#include "answer/LevelNumber.h"
#include "base/Text.h"
#include "browser-host/NativeMessaging.h"

namespace ulvo::host {

namespace {

using nlohmann::json;

// Longer identifiers are not echoed, so an error reply always stays small.
constexpr std::size_t maxIdBytes = 256;

const json* member(const json& object, const char* name) {
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

std::string dump(const json& reply) {
    // Invalid UTF-8 in an answer must not abort the reply.
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

json replyBase(const json& id, std::string_view type) {
    json reply = json::object();
    if (!id.is_null()) {
        reply["id"] = id;
    }
    if (!type.empty()) {
        reply["type"] = type;
    }
    return reply;
}

// A reply over the browsers' limit would make the browser drop the connection: send an error instead.
std::string bounded(const json& reply, std::string_view type, const json& id) {
    std::string text = dump(reply);
    if (text.size() <= maxReplyBytes) {
        return text;
    }
    return errorReply("The answer is too long to show in the browser.", id, type);
}

} // namespace

std::string_view typeName(RequestType type) {
    switch (type) {
    case RequestType::explain:
        return "explain";
    case RequestType::followup:
        return "followup";
    case RequestType::availability:
        return "availability";
    }
    return "";
}

std::variant<Request, RequestError> parseRequest(std::string_view payload) {
    // The parser rejects invalid UTF-8 as well as invalid JSON.
    const json message = json::parse(payload, nullptr, false);
    if (message.is_discarded()) {
        return RequestError{"The browser sent a message that is not valid JSON.", nullptr, ""};
    }
    if (!message.is_object()) {
        return RequestError{"The browser sent a message that is not a request.", nullptr, ""};
    }
    Request request;
    if (const json* id = member(message, "id");
        id != nullptr &&
        (id->is_number() || (id->is_string() && id->get_ref<const std::string&>().size() <= maxIdBytes))) {
        request.id = *id;
    }
    const json* type = member(message, "type");
    if (type == nullptr || !type->is_string()) {
        return RequestError{"The request has no type.", request.id, ""};
    }
    const auto& name = type->get_ref<const std::string&>();
    if (name == "explain") {
        request.type = RequestType::explain;
    } else if (name == "followup") {
        request.type = RequestType::followup;
    } else if (name == "availability") {
        request.type = RequestType::availability;
        return request;
    } else {
        // Not echoed: an unknown type may be as long as the whole message.
        return RequestError{"Unknown request type.", request.id, ""};
    }

    const json* text = member(message, "text");
    if (text == nullptr || !text->is_string()) {
        return RequestError{"The request has no text.", request.id, name};
    }
    request.text = text->get<std::string>();
    if (isBlank(request.text)) {
        return RequestError{"Select some text first.", request.id, name};
    }
    if (request.type == RequestType::followup) {
        const json* question = member(message, "question");
        if (question == nullptr || !question->is_string()) {
            return RequestError{"The follow-up has no question.", request.id, name};
        }
        request.question = question->get<std::string>();
    }
    if (const json* level = member(message, "level"); level != nullptr && !level->is_null()) {
        const std::optional<Level> parsed = levelFromNumber(*level);
        if (!parsed) {
            return RequestError{"The level must be a number.", request.id, name};
        }
        request.level = *parsed;
    }
    return request;
}

std::string answerReply(const Request& request, const ExplainResult& result) {
    json reply = replyBase(request.id, typeName(request.type));
    reply["ok"] = result.ok();
    if (result.ok()) {
        reply["answer"] = result.answer();
    } else if (result.isSuperseded()) {
        reply["error"] = supersededMessage;
        reply["superseded"] = true;
    } else {
        reply["error"] = result.errorMessage();
    }
    reply["level"] = request.level;
    return bounded(reply, typeName(request.type), request.id);
}

std::optional<std::string> partialReply(const Request& request, const std::string& text) {
    json reply = replyBase(request.id, typeName(request.type));
    reply["partial"] = true;
    reply["text"] = text;
    std::string frame = dump(reply);
    if (frame.size() > maxReplyBytes) {
        return std::nullopt;
    }
    return frame;
}

std::string availabilityReply(const Request& request, const Availability& availability) {
    json reply = replyBase(request.id, typeName(request.type));
    reply["ok"] = true;
    reply["available"] = availability.available;
    reply["provider"] = availability.provider;
    reply["providerName"] = availability.providerName;
    if (!availability.available) {
        reply["error"] = availability.error;
    }
    return bounded(reply, typeName(request.type), request.id);
}

std::string errorReply(std::string_view message, const json& id, std::string_view type) {
    json reply = replyBase(id, type);
    reply["ok"] = false;
    reply["error"] = message;
    return dump(reply);
}

} // namespace ulvo::host
