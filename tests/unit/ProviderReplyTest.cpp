// What a provider's replies mean: think blocks, error objects, the request changes a 400 asks for.
#include "answer/ChatRequest.h"
#include "answer/ProviderError.h"
#include "answer/ProviderRules.h"
#include "answer/ThinkBlocks.h"

#include <gtest/gtest.h>

#include <tuple>

namespace ulvo {
namespace {

TEST(ThinkBlocksTest, TheMonologueNeverReachesTheAnswer) {
    const auto split = [](const std::string& text, bool partial = false) {
        const ThoughtSplit thought = withoutThinking(text, partial);
        return std::tuple(thought.answer, thought.unclosed);
    };
    EXPECT_EQ(split("A<think>x</think>B<think>y</think>C"), std::tuple("ABC", false));
    EXPECT_EQ(split("Answer first. <think>then"), std::tuple("Answer first. ", true));
    EXPECT_EQ(split("the template opened it.</think>The answer."), std::tuple("The answer.", false));
    EXPECT_EQ(split("Text <", true), std::tuple("Text ", false));
}

TEST(ProviderErrorTest, TheProvidersOwnWordsFollowASentenceThatPointsTheRightWayAndChangeNoRequest) {
    const auto reply = [](long status, std::string body, std::string retryAfter = "") {
        HttpResponse response{status, std::move(body), {}};
        if (!retryAfter.empty()) {
            response.headers.emplace_back("retry-after", retryAfter);
        }
        return refusalMessage(readProviderError(response, std::chrono::system_clock::from_time_t(784111777)),
                              "Groq", "unused");
    };
    // The refusals of each kind with Retry-After in seconds are the stand-in's, through the whole road.
    EXPECT_EQ(reply(429, "", "Sun, 06 Nov 1994 08:49:57 GMT"),
              "The provider is receiving too many requests. Try again in 20 seconds.");
    EXPECT_EQ(reply(402, R"([{"error":"Insufficient\ncredits"}])"),
              "The provider account has no credit left. (Groq says: Insufficient credits)");
    EXPECT_EQ(reply(500, "<html><body>Bad gateway</body></html>"),
              "The provider has a problem right now. Try again later.");

    // A 400 that names no member sent changes nothing; the changes it asks for are learned through the
    // stand-in of OpenAI's rules.
    ChatExchange exchange;
    exchange.model = "gpt-5-mini";
    const std::string body = buildChatRequest(exchange).body;
    const auto change = [&body](std::string json) {
        return requestChange(readProviderError(HttpResponse{400, std::move(json), {}}), body);
    };
    using Change = std::optional<std::pair<std::string, std::string>>;
    EXPECT_EQ(change(R"({"error":{"message":"Unsupported parameter: 'reasoning_effort'","code":null}})"),
              Change{})
        << "a member that was not sent";
    EXPECT_EQ(change(R"({"error":{"message":"Unsupported value: 'messages[0].role'","param":"messages"}})"),
              Change{});
    EXPECT_EQ(change(R"({"error":{"message":"Invalid API key"}})"), Change{});
}

} // namespace
} // namespace ulvo
