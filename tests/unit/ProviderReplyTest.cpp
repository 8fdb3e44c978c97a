// What a provider's replies mean: think blocks, error objects, the request changes a 400 asks for.
#include "answer/ChatRequest.h"
#include "answer/ProviderError.h"
#include "answer/ProviderRules.h"
#include "answer/ThinkBlocks.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace ulvo {
namespace {

TEST(ThinkBlocksTest, TheMonologueNeverReachesTheAnswer) {
    struct Case {
        std::string text;
        bool partial;
        std::string answer;
        bool unclosed;
    };
    const std::vector<Case> cases{
        {"<think>Hmm, the user wants\nmore.</think>\n\nPlants make food.", false, "\n\nPlants make food.",
         false},
        {"A<think>x</think>B<think>y</think>C", false, "ABC", false},
        {"<think>still going", false, "", true},
        {"Answer first. <think>then", false, "Answer first. ", true},
        {"the template opened it.</think>The answer.", false, "The answer.", false},
        {"Plain answer, a < b.", false, "Plain answer, a < b.", false},
        {"Text <", true, "Text ", false},
    };
    for (const Case& c : cases) {
        const ThoughtSplit split = withoutThinking(c.text, c.partial);
        EXPECT_EQ(split.answer, c.answer) << c.text;
        EXPECT_EQ(split.unclosed, c.unclosed) << c.text;
    }
}

TEST(ProviderErrorTest, TheProvidersOwnWordsFollowASentenceThatPointsTheRightWay) {
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
    EXPECT_EQ(reply(402, R"({"error":"Insufficient\ncredits"})"),
              "The provider account has no credit left. (Groq says: Insufficient credits)");
    EXPECT_EQ(reply(500, "<html><body>Bad gateway</body></html>"),
              "The provider has a problem right now. Try again later.");
    const std::string words = reply(400, R"({"error":{"message":")" + std::string(500, 'x') + "\"}}");
    EXPECT_LT(words.size(), 300U) << "long words are shortened";
}

TEST(ProviderRulesTest, A400ThatNamesAMemberGivesItsReplacementOrLeavesItOut) {
    ChatExchange exchange;
    exchange.model = "gpt-5-mini";
    const std::string body = buildChatRequest(exchange).body;
    const auto change = [&body](std::string json) {
        return requestChange(readProviderError(HttpResponse{400, std::move(json), {}}), body);
    };
    using Change = std::optional<std::pair<std::string, std::string>>;
    EXPECT_EQ(
        change(
            R"({"error":{"message":"Unsupported parameter: 'max_tokens' is not supported with this model. Use 'max_completion_tokens' instead.","type":"invalid_request_error","param":"max_tokens","code":"unsupported_parameter"}})"),
        (Change{{"max_tokens", "max_completion_tokens"}}));
    EXPECT_EQ(
        change(
            R"({"error":{"message":"Unsupported value: 'temperature' does not support 0.35 with this model. Only the default (1) value is supported.","param":"temperature","code":"unsupported_value"}})"),
        (Change{{"temperature", ""}}));
    EXPECT_EQ(change(R"({"error":{"message":"Unsupported parameter: 'reasoning_effort'","code":null}})"),
              Change{})
        << "a member that was not sent";
    EXPECT_EQ(change(R"({"error":{"message":"Unsupported value: 'messages[0].role'","param":"messages"}})"),
              Change{});
    EXPECT_EQ(change(R"({"error":{"message":"Invalid API key"}})"), Change{});

    ChatExchange openAI;
    openAI.model = "gpt-5.4-mini";
    applyProviderRules(openAI, ModelProvider::openAI);
    const auto sent = nlohmann::json::parse(buildChatRequest(openAI).body);
    EXPECT_FALSE(sent.contains("max_tokens"));
    EXPECT_FALSE(sent.contains("temperature"));
    EXPECT_EQ(sent["max_completion_tokens"], reasoningMaxTokens) << "room to reason before the answer";
}

} // namespace
} // namespace ulvo
