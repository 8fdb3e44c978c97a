#pragma once

#include "model/HttpTransport.h"
#include "model/Level.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace ulvo {

// One OpenAI-compatible chat-completions exchange: a system and a user message.
struct ChatExchange {
    std::string url;
    std::string bearer;
    std::string model;
    std::string system;
    std::string user;
    double temperature = 0.35;
    std::chrono::milliseconds timeout{50'000};
    StopFlag stop;
    // The answer is asked for as a stream of events; its text so far is given here (on the sending
    // thread) each time it grows, when set. A provider that answers with a plain JSON body still works.
    std::function<void(const std::string&)> onPartial;

    // A first explanation sends the band's prompt and the text; a follow-up (even an empty one)
    // the follow-up prompt and the question.
    void setMessages(const std::string& text, const std::optional<std::string>& question, Level level,
                     const std::string& language);
};

// What a provider's refusals are called, in its route's own words: a status other than 200, a reply
// without an answer (or no JSON at all), and an exchange that produced nothing.
struct ChatFailureMessages {
    std::string couldNotAnswer;
    std::string unreadable;
    std::string noResponse;
};

inline constexpr const char* incompleteAnswerMessage =
    "The answer stopped before it was complete. Please try again.";

inline constexpr int chatMaxTokens = 650;

// Invalid UTF-8 in any text (clipboard content can be anything) becomes U+FFFD, so the body always
// serialises.
HttpRequest buildChatRequest(const ChatExchange& exchange);

// choices[0].message.content when the reply has that shape; nothing otherwise.
// A body that is not JSON throws the parser's error.
std::optional<std::string> chatContent(const std::string& body);

// Sends the exchange and returns choices[0].message.content (or, streamed, the deltas' content)
// unchanged, or throws: a body that is not JSON is an unreadable answer, never the parser's own text,
// and a stream that ends before its end is never taken for a whole answer.
std::string exchangeChat(HttpTransport& transport, const ChatExchange& exchange,
                         const ChatFailureMessages& messages);

// Blocking exchange on the caller's thread; a transport that produced nothing throws noResponse.
HttpResponse syncRequest(HttpTransport& transport, const HttpRequest& request,
                         const std::string& noResponse = "The local model did not respond.");

} // namespace ulvo
