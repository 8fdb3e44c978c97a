// The companion tool's command protocol: argument reading, instructions, dispatch and the reply line.
#include "runtime-tool/Protocol.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <tuple>

namespace ulvo {
namespace {

using Runtime = ULVOFoundationRuntime;
using Arguments = std::vector<std::string>;

// Structured (the client's form, its test): --level, --language and the text after "--"; otherwise plain:
// everything after the command word, at the default level. The level is a signed decimal, clamped.
TEST(RuntimeArguments, ExplainRequestsStructuredOrPlainAtALevelOnTheScale) {
    for (const auto& [text, level] :
         std::vector<std::pair<std::string, std::int64_t>>{{"-5", 0}, {"250", 100}, {"+40", 40}}) {
        EXPECT_EQ(Runtime::level(text), level) << text;
    }
    for (const char* malformed : {"4a", "+", "99999999999999999999"}) {
        EXPECT_EQ(Runtime::level(malformed), 60) << malformed;
    }
    const auto read = [](const Arguments& arguments) {
        const auto request = Runtime::explainRequest(arguments);
        return std::tuple(request.level, request.language, request.text);
    };
    // --level counts behind the separator too.
    EXPECT_EQ(read({"explain", "--", "a", "--level", "20"}), std::tuple(20, "en", "a --level 20"));
    EXPECT_EQ(read({"explain", "--language", "de", "--", "Hallo"}),
              std::tuple(60, "de", "--language de -- Hallo"));
    EXPECT_EQ(read({"explain", "--", "x", "--level"}), std::tuple(60, "en", "-- x --level"));
}

// The band boundaries and the language tag are what the code decides; the wording is the instructions' own.
TEST(RuntimeInstructions, BandsChangeAtTwentyFortySixtyAndEightyAndTheLanguageGoesInUnchanged) {
    for (const std::int64_t boundary : {20, 40, 60, 80}) {
        EXPECT_NE(Runtime::instructions(boundary - 1, "en"), Runtime::instructions(boundary, "en"))
            << boundary;
    }
    EXPECT_NE(Runtime::instructions(60, "de-CH (Swiss), formal").find("language (de-CH (Swiss), formal). If"),
              std::string::npos);
}

class RuntimeDispatch : public ::testing::Test {
protected:
    // Answers the fixture's `outcome` and records what it was asked.
    struct ScriptedModel final : ExplanationModel {
        explicit ScriptedModel(RuntimeDispatch& owner)
            : fixture(owner) {}
        ModelOutcome respond(const std::string& instructions, const std::string& prompt) override {
            fixture.calls.emplace_back(instructions, prompt);
            return fixture.outcome;
        }
        std::optional<std::string> device() const override { return "CPU (AVX2)"; }
        RuntimeDispatch& fixture;
    };

    Runtime::Services services(bool modelReady) {
        return {.loadModel = [this, modelReady]() -> std::unique_ptr<ExplanationModel> {
                    return modelReady ? std::make_unique<ScriptedModel>(*this) : nullptr;
                },
                .recognizeText =
                    [this](const std::string& path) {
                        paths.push_back(path);
                        return recognized;
                    }};
    }

    ModelOutcome outcome{"An answer.", {}};
    std::string recognized;
    std::vector<std::pair<std::string, std::string>> calls;
    std::vector<std::string> paths;
};

// Availability and a page with no text are the tool process's test.
TEST_F(RuntimeDispatch, EachCommandsReply) {
    const auto failed = [](const std::string& error) {
        return Reply{false, std::nullopt, std::nullopt, error};
    };
    recognized = "line one\nline two";
    struct Case {
        Arguments arguments;
        bool modelReady;
        Reply reply;
    };
    const std::vector<Case> cases{
        // Missing text is said before the gate, so with no model loaded.
        {{"explain"}, false, failed("Missing text to explain.")},
        {{"explain", "hi"},
         false,
         {false, "apple-foundation", std::nullopt, "The built-in model is not ready on this computer."}},
        {{"ocr", "--", "/x.png"}, false, {true, "apple-vision", "line one\nline two", std::nullopt}},
        {{"Explain", "x"}, true, failed("Unknown command for the built-in model.")},
        {{}, true, failed("Expected availability or explain.")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Runtime::run(c.arguments, services(c.modelReady)), c.reply)
            << nlohmann::json(c.arguments).dump();
    }
    EXPECT_EQ(paths, Arguments{"/x.png"});

    // Explain hands the instructions, the untouched text and the model's outcome.
    EXPECT_EQ(
        Runtime::run({"explain", "--level", "10", "--language", "fr", "--", " a\n", "b "}, services(true)),
        (Reply{true, "apple-foundation", "An answer.", std::nullopt}));
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].first, Runtime::instructions(10, "fr"));
    EXPECT_EQ(calls[0].second, " a\n b ");

    outcome = ModelOutcome{std::nullopt, "The context is too long."};
    EXPECT_EQ(Runtime::run({"explain", "hi"}, services(true)),
              (Reply{false, "apple-foundation", std::nullopt, "The context is too long."}));
}

TEST(RuntimeReply, OneLineWhateverTheText) {
    const std::string text =
        "He said \"hi\" \\ then\nleft. Gr\u00fc\u00dfe \u2014 \u65e5\u672c \U0001F600\t/";
    const std::string line = Runtime::write(Reply{true, "apple-vision", text, std::nullopt});
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(nlohmann::json::parse(line),
              (nlohmann::json{{"ok", true}, {"engine", "apple-vision"}, {"text", text}}));
    // Absent members are not written (the tool process's test); text that cannot be encoded gives the
    // fixed line.
    EXPECT_EQ(Runtime::write(Reply{true, "apple-foundation", std::string("bad \xff byte"), std::nullopt}),
              "{\"ok\":false,\"error\":\"Could not encode response.\"}\n");
}

} // namespace
} // namespace ulvo
