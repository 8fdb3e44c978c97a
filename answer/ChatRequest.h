#pragma once

#include "answer/Level.h"
#include "base/HttpTransport.h"
#include "base/Result.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace ulvo {

inline constexpr int chatMaxTokens = 650;
// A reasoning model spends tokens before it answers; with the plain limit it would spend them all.
inline constexpr int reasoningMaxTokens = 4096;
// Longer answers are cut here, with a note: a card cannot show more, and cleaning more costs seconds.
inline constexpr std::size_t answerCapBytes = std::size_t{64} * 1024;

// Request members a provider refused, and what each becomes: another member's name, or nothing
// (empty: the member is left out and the provider's default applies).
using RequestAdaptation = std::map<std::string, std::string>;

// One OpenAI-compatible chat-completions exchange: a system and a user message.
struct ChatExchange {
    std::string url;
    std::string bearer;
    std::string model;
    std::string system;
    std::string user;
    double temperature = 0.35;
    // The members that carry the limit and the reasoning effort differ between providers and models.
    std::string tokenLimitMember = "max_tokens";
    int maxTokens = chatMaxTokens;
    std::optional<std::string> reasoningEffort;
    RequestAdaptation adaptation;
    std::chrono::milliseconds timeout{50'000};
    std::chrono::milliseconds deadline{120'000};
    StopFlag stop;
    // The answer is asked for as a stream of events; its text so far is given here (on the sending
    // thread) each time it grows, and once with what it has when the model begins to reason. A provider
    // that answers with a plain JSON body still works.
    std::function<void(const std::string&)> onPartial;

    // A first explanation sends the band's prompt and the text; a follow-up (even an empty one)
    // the follow-up prompt and the question.
    void setMessages(const std::string& text, const std::optional<std::string>& question, Level level,
                     const std::string& language);
};

// What a provider's refusals are called, in its route's own words: a status other than 200, a reply
// without an answer (or no JSON at all), and an exchange that produced nothing. providerName, when set,
// introduces the provider's own words after a sentence chosen by the status.
struct ChatFailureMessages {
    std::string couldNotAnswer;
    std::string unreadable;
    std::string noResponse;
    std::string providerName;
};

inline constexpr const char* incompleteAnswerMessage =
    "The answer stopped before it was complete. Please try again.";

// The answer and how it ended.
struct ChatAnswer {
    std::string text;
    std::string finishReason; // as the provider said it; empty when it said none
    bool reasoned = false;    // reasoning came in fields of its own
    bool capped = false;      // cut at answerCapBytes

    static ChatAnswer whole(std::string text) {
        ChatAnswer answer;
        answer.text = std::move(text);
        return answer;
    }
};

// Invalid UTF-8 in any text (clipboard content can be anything) becomes U+FFFD, so the body always
// serialises.
HttpRequest buildChatRequest(const ChatExchange& exchange);

// choices[0].message.content when the reply has that shape; nothing otherwise.
// A body that is not JSON throws the parser's error.
std::optional<std::string> chatContent(const std::string& body);

// Sends the exchange and returns the answer (or, streamed, the deltas' content) unchanged, or throws:
// ProviderRefusal for a status other than 200, an unreadable answer for a body that is not JSON, and a
// stream that ends before its end is never taken for a whole answer. The exchange ends at "[DONE]" or a
// finish reason, whether or not the peer closes.
ChatAnswer exchangeChatAnswer(HttpTransport& transport, const ChatExchange& exchange,
                              const ChatFailureMessages& messages);
// The same for a caller outside the answer service: the answer's text, or the failure that would be thrown.
Result<std::string> exchangeChat(HttpTransport& transport, const ChatExchange& exchange,
                                 const ChatFailureMessages& messages);

// Blocking exchange on the caller's thread; a transport that produced nothing throws noResponse.
HttpResponse syncRequest(HttpTransport& transport, const HttpRequest& request,
                         const std::string& noResponse = "The local model did not respond.");

} // namespace ulvo
