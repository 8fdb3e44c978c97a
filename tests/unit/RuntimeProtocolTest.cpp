// The companion tool's command protocol: argument reading, instructions, dispatch and the reply line.
#include "runtime-tool/Protocol.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace ulvo {
namespace {

using Runtime = ULVOFoundationRuntime;
using Arguments = std::vector<std::string>;

TEST(RuntimeArguments, ValueFollowsTheFirstOccurrenceOnly) {
    EXPECT_EQ(Runtime::value("--language", {"explain", "--language", "de"}), "de");
    EXPECT_EQ(Runtime::value("--language", {"explain", "--language"}), std::nullopt);
    EXPECT_EQ(Runtime::value("--language", {"explain", "--language", "--language", "fr"}), "--language");
    EXPECT_EQ(Runtime::value("--language", {"explain"}), std::nullopt);
}

TEST(RuntimeArguments, LevelIsASignedDecimalClampedToTheScale) {
    for (const auto& [text, level] :
         std::vector<std::pair<std::string, std::int64_t>>{{"-5", 0},
                                                           {"250", 100},
                                                           {"+40", 40},
                                                           {"007", 7},
                                                           {"-9223372036854775808", 0},
                                                           {"9223372036854775807", 100}}) {
        EXPECT_EQ(Runtime::level(text), level) << text;
    }
    for (const char* malformed :
         {"4a", "", "+", "-", " 40", "40 ", "4.0", "99999999999999999999", "+-4", "--4", "\xd9\xa4"}) {
        EXPECT_EQ(Runtime::level(malformed), 60) << malformed;
    }
}

// Structured: --level and --language before the first "--", the text after it (both flags' values are
// whatever follows them); otherwise plain: everything after the command word, at the default level.
TEST(RuntimeArguments, ExplainRequestsStructuredOrPlain) {
    struct Case {
        Arguments arguments;
        std::int64_t level;
        std::string language;
        std::string text;
    };
    const std::vector<Case> cases{
        {{"explain", "--level", "30", "--language", "de", "--", "Hallo", "Welt"}, 30, "de", "Hallo Welt"},
        {{"explain", "--", "a", "--level", "20"}, 20, "en", "a --level 20"}, // behind the separator too
        {{"explain", "--level", "50", "--language", "--", "x"}, 50, "--", "x"},
        {{"explain", "--language", "de", "--", "Hallo"}, 60, "de", "--language de -- Hallo"},
        {{"explain", "--level", "30", "hello"}, 60, "en", "--level 30 hello"},
        {{"explain", "--", "x", "--level"}, 60, "en", "-- x --level"},
        {{"explain"}, 60, "en", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(nlohmann::json(c.arguments).dump());
        const auto request = Runtime::explainRequest(c.arguments);
        EXPECT_EQ(request.level, c.level);
        EXPECT_EQ(request.language, c.language);
        EXPECT_EQ(request.text, c.text);
    }
}

TEST(RuntimeArguments, OcrPath) {
    EXPECT_EQ(Runtime::ocrPath({"ocr", "/tmp/a.png"}), "/tmp/a.png");
    EXPECT_EQ(Runtime::ocrPath({"ocr", "--", "/tmp/a.png"}), "/tmp/a.png");
    EXPECT_EQ(Runtime::ocrPath({"ocr", "--"}), "--");
    EXPECT_EQ(Runtime::ocrPath({"ocr"}), "");
}

// The wording is the instructions' own; the band boundaries and the language tag are what the code decides.
TEST(RuntimeInstructions, BandsChangeAtTwentyFortySixtyAndEightyAndTheLanguageGoesInUnchanged) {
    const std::vector<std::pair<std::int64_t, std::int64_t>> sameBand = {
        {0, 19}, {20, 39}, {40, 59}, {60, 79}, {80, 100}};
    for (std::size_t i = 0; i < sameBand.size(); ++i) {
        const auto [low, high] = sameBand[i];
        EXPECT_EQ(Runtime::instructions(low, "en"), Runtime::instructions(high, "en")) << low;
        if (i > 0) {
            EXPECT_NE(Runtime::instructions(sameBand[i - 1].second, "en"), Runtime::instructions(low, "en"))
                << low;
        }
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
                    ++loads;
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
    int loads = 0;
    std::vector<std::pair<std::string, std::string>> calls;
    std::vector<std::string> paths;
};

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
        {{"explain", "--level", "30", "--"}, true, failed("Missing text to explain.")},
        {{"explain", "hi"},
         false,
         {false, "apple-foundation", std::nullopt, "The built-in model is not ready on this computer."}},
        {{"availability", "extra", "words"},
         true,
         {true, "apple-foundation", std::nullopt, std::nullopt, "CPU (AVX2)"}},
        {{"ocr", "--", "/x.png"}, false, {true, "apple-vision", "line one\nline two", std::nullopt}},
        {{"Explain", "x"}, true, failed("Unknown command for the built-in model.")},
        {{"OCR"}, true, failed("Unknown command for the built-in model.")},
        {{}, true, failed("Expected availability or explain.")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Runtime::run(c.arguments, services(c.modelReady)), c.reply)
            << nlohmann::json(c.arguments).dump();
    }
    EXPECT_EQ(loads, 2) << "only the explanation with text and availability load the model";
    EXPECT_EQ(paths, Arguments{"/x.png"});

    recognized.clear();
    EXPECT_EQ(Runtime::run({"ocr"}, services(false)), failed("No readable text was found in this image."));
}

TEST_F(RuntimeDispatch, ExplainHandsInstructionsAndTheUntouchedTextAndTheModelsOutcome) {
    EXPECT_EQ(
        Runtime::run({"explain", "--level", "10", "--language", "fr", "--", " a\n", "b "}, services(true)),
        (Reply{true, "apple-foundation", "An answer.", std::nullopt}));
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].first, Runtime::instructions(10, "fr"));
    EXPECT_EQ(calls[0].second, " a\n b ");
    EXPECT_TRUE(Runtime::run({"explain", "--level", "30", "--", "  "}, services(true)).ok)
        << "spaces are a text";

    outcome = ModelOutcome{std::nullopt, "The context is too long."};
    EXPECT_EQ(Runtime::run({"explain", "hi"}, services(true)),
              (Reply{false, "apple-foundation", std::nullopt, "The context is too long."}));
    outcome = ModelOutcome{"", {}};
    EXPECT_EQ(Runtime::run({"explain", "hi"}, services(true)),
              (Reply{true, "apple-foundation", "", std::nullopt}));
}

TEST(RuntimeReply, OneCompactLineWhateverTheText) {
    const std::string text =
        "He said \"hi\" \\ then\nleft. Gr\u00fc\u00dfe \u2014 \u65e5\u672c \U0001F600\t/";
    const std::string line = Runtime::write(Reply{true, "apple-vision", text, std::nullopt});
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.find(": "), std::string::npos);
    EXPECT_NE(line.find("Gr\u00fc\u00dfe"), std::string::npos); // UTF-8, not \u escapes
    EXPECT_EQ(nlohmann::json::parse(line),
              (nlohmann::json{{"ok", true}, {"engine", "apple-vision"}, {"text", text}}));
}

TEST(RuntimeReply, AbsentMembersAreNotWrittenAndTextThatCannotBeEncodedGivesTheFixedLine) {
    EXPECT_EQ(nlohmann::json::parse(Runtime::write(Reply{false, std::nullopt, std::nullopt, "E"})),
              (nlohmann::json{{"ok", false}, {"error", "E"}}));
    EXPECT_EQ(Runtime::write(Reply{true, "apple-foundation", std::string("bad \xff byte"), std::nullopt}),
              "{\"ok\":false,\"error\":\"Could not encode response.\"}\n");
}

} // namespace
} // namespace ulvo
