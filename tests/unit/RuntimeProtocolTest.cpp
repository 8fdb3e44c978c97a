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
    // The first occurrence is last: a later one would have had a follower, but it does not count.
    EXPECT_EQ(Runtime::value("-x", {"-x"}), std::nullopt);
    EXPECT_EQ(Runtime::value("--language", {"explain"}), std::nullopt);
}

TEST(RuntimeArguments, LevelIsASignedDecimalClampedToTheScale) {
    EXPECT_EQ(Runtime::level("-5"), 0);
    EXPECT_EQ(Runtime::level("250"), 100);
    EXPECT_EQ(Runtime::level("+40"), 40);
    EXPECT_EQ(Runtime::level("007"), 7);
    EXPECT_EQ(Runtime::level("0"), 0);
    EXPECT_EQ(Runtime::level("-9223372036854775808"), 0);
    EXPECT_EQ(Runtime::level("9223372036854775807"), 100);
    for (const char* malformed :
         {"4a", "", "+", "-", " 40", "40 ", "4.0", "99999999999999999999", "+-4", "--4", "\xd9\xa4"}) {
        EXPECT_EQ(Runtime::level(malformed), 60) << malformed;
    }
}

TEST(RuntimeArguments, StructuredForm) {
    const auto request =
        Runtime::explainRequest({"explain", "--level", "30", "--language", "de", "--", "Hallo", "Welt"});
    EXPECT_EQ(request.level, 30);
    EXPECT_EQ(request.language, "de");
    EXPECT_EQ(request.text, "Hallo Welt");

    EXPECT_EQ(Runtime::explainRequest({"explain", "--level", "30", "--language", "de", "--"}).text, "");

    // --level behind the separator still counts, and stays part of the text.
    const auto behind = Runtime::explainRequest({"explain", "--", "a", "--level", "20"});
    EXPECT_EQ(behind.level, 20);
    EXPECT_EQ(behind.text, "a --level 20");

    // The language is whatever follows --language, even the separator; the first -- is the separator.
    const auto dashes = Runtime::explainRequest({"explain", "--level", "50", "--language", "--", "x"});
    EXPECT_EQ(dashes.language, "--");
    EXPECT_EQ(dashes.text, "x");

    // The text is sent as it came: one argument with its spaces and line feeds.
    EXPECT_EQ(Runtime::explainRequest({"explain", "--level", "60", "--", " two\nlines "}).text,
              " two\nlines ");
}

TEST(RuntimeArguments, PlainFormTakesEverythingAfterTheCommand) {
    const auto noLevel = Runtime::explainRequest({"explain", "--language", "de", "--", "Hallo"});
    EXPECT_EQ(noLevel.level, 60);
    EXPECT_EQ(noLevel.language, "de");
    EXPECT_EQ(noLevel.text, "--language de -- Hallo");

    const auto noSeparator = Runtime::explainRequest({"explain", "--level", "30", "hello"});
    EXPECT_EQ(noSeparator.level, 60);
    EXPECT_EQ(noSeparator.text, "--level 30 hello");

    // --level as the last element has no value: plain form.
    EXPECT_EQ(Runtime::explainRequest({"explain", "--", "x", "--level"}).text, "-- x --level");
    EXPECT_EQ(Runtime::explainRequest({"explain", "--", "hello"}).text, "-- hello");
    EXPECT_EQ(Runtime::explainRequest({"explain"}).text, "");
    EXPECT_EQ(Runtime::explainRequest({"explain"}).language, "en");
}

TEST(RuntimeArguments, OcrPath) {
    EXPECT_EQ(Runtime::ocrPath({"ocr", "/tmp/a.png"}), "/tmp/a.png");
    EXPECT_EQ(Runtime::ocrPath({"ocr", "--", "/tmp/a.png"}), "/tmp/a.png");
    EXPECT_EQ(Runtime::ocrPath({"ocr", "one", "two", "/tmp/a.png"}), "/tmp/a.png");
    EXPECT_EQ(Runtime::ocrPath({"ocr", "--"}), "--");
    EXPECT_EQ(Runtime::ocrPath({"ocr"}), "");
}

// The wording is the instructions' own; the band boundaries and the language tag are what the code decides.
TEST(RuntimeInstructions, BandsChangeAtTwentyFortySixtyAndEightyAndTheLanguageGoesInUnchanged) {
    const auto band = [](std::int64_t level) {
        const std::string text = Runtime::instructions(level, "en");
        const std::size_t start = std::string("Explain selected text clearly and accurately. ").size();
        return text.substr(start, text.find(' ', start) - start);
    };
    const std::vector<std::pair<std::int64_t, std::string>> bands = {
        {0, "Telegraphic"}, {19, "Telegraphic"}, {20, "Five-year-old"}, {39, "Five-year-old"},
        {40, "Everyday"},   {59, "Everyday"},    {60, "Expert"},        {79, "Expert"},
        {80, "Professor"},  {100, "Professor"}};
    for (const auto& [level, name] : bands) {
        EXPECT_EQ(band(level), name) << level;
    }
    EXPECT_NE(Runtime::instructions(60, "de-CH (Swiss), formal").find("language (de-CH (Swiss), formal). If"),
              std::string::npos);
    EXPECT_NE(Runtime::instructions(60, "").find("language (). If"), std::string::npos);
}

class ScriptedModel final : public ExplanationModel {
public:
    explicit ScriptedModel(ModelOutcome outcome, std::vector<std::pair<std::string, std::string>>* calls)
        : outcome_(std::move(outcome))
        , calls_(calls) {}
    ModelOutcome respond(const std::string& instructions, const std::string& prompt) override {
        calls_->emplace_back(instructions, prompt);
        return outcome_;
    }
    std::optional<std::string> device() const override { return "CPU (AVX2)"; }

private:
    ModelOutcome outcome_;
    std::vector<std::pair<std::string, std::string>>* calls_;
};

class RuntimeDispatch : public ::testing::Test {
protected:
    Runtime::Services services(bool modelReady) {
        return {.loadModel = [this, modelReady]() -> std::unique_ptr<ExplanationModel> {
                    ++loads;
                    if (!modelReady) {
                        return nullptr;
                    }
                    return std::make_unique<ScriptedModel>(outcome, &calls);
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

TEST_F(RuntimeDispatch, MissingTextIsReportedBeforeTheGate) {
    EXPECT_EQ(Runtime::run({"explain"}, services(false)),
              (Reply{false, std::nullopt, std::nullopt, "Missing text to explain."}));
    EXPECT_EQ(Runtime::run({"explain", "--level", "30", "--"}, services(true)),
              (Reply{false, std::nullopt, std::nullopt, "Missing text to explain."}));
    EXPECT_EQ(loads, 0);
    // A text of spaces is a text.
    EXPECT_TRUE(Runtime::run({"explain", "--level", "30", "--", "  "}, services(true)).ok);
}

TEST_F(RuntimeDispatch, ExplainHandsInstructionsAndTheUntouchedText) {
    const Reply reply =
        Runtime::run({"explain", "--level", "10", "--language", "fr", "--", " a\n", "b "}, services(true));
    EXPECT_EQ(reply, (Reply{true, "apple-foundation", "An answer.", std::nullopt}));
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].first, Runtime::instructions(10, "fr"));
    EXPECT_EQ(calls[0].second, " a\n b ");
}

TEST_F(RuntimeDispatch, ModelOutcomes) {
    outcome = ModelOutcome{std::nullopt, "The context is too long."};
    EXPECT_EQ(Runtime::run({"explain", "hi"}, services(true)),
              (Reply{false, "apple-foundation", std::nullopt, "The context is too long."}));
    outcome = ModelOutcome{"", {}};
    EXPECT_EQ(Runtime::run({"explain", "hi"}, services(true)),
              (Reply{true, "apple-foundation", "", std::nullopt}));
    EXPECT_EQ(Runtime::run({"explain", "hi"}, services(false)),
              (Reply{false, "apple-foundation", std::nullopt,
                     "The built-in model is not ready on this computer."}));
    EXPECT_EQ(Runtime::run({"availability", "extra", "words"}, services(true)),
              (Reply{true, "apple-foundation", std::nullopt, std::nullopt, "CPU (AVX2)"}));
    EXPECT_EQ(calls.size(), 2U);
}

TEST_F(RuntimeDispatch, OcrRepliesWithTheRecognisedTextOrNoReadableText) {
    recognized = "line one\nline two";
    EXPECT_EQ(Runtime::run({"ocr", "--", "/x.png"}, services(false)),
              (Reply{true, "apple-vision", "line one\nline two", std::nullopt}));
    recognized.clear();
    EXPECT_EQ(Runtime::run({"ocr"}, services(false)),
              (Reply{false, std::nullopt, std::nullopt, "No readable text was found in this image."}));
    EXPECT_EQ(paths, (Arguments{"/x.png", ""}));
    EXPECT_EQ(loads, 0);
}

TEST_F(RuntimeDispatch, CommandWordsMatchExactly) {
    for (const Arguments& arguments : {Arguments{"Explain", "x"}, Arguments{"--explain"}, Arguments{"avail"},
                                       Arguments{"OCR"}, Arguments{""}}) {
        EXPECT_EQ(Runtime::run(arguments, services(true)),
                  (Reply{false, std::nullopt, std::nullopt, "Unknown command for the built-in model."}));
    }
    EXPECT_EQ(Runtime::run({}, services(true)),
              (Reply{false, std::nullopt, std::nullopt, "Expected availability or explain."}));
}

TEST(RuntimeReply, OneCompactLineWhateverTheText) {
    const std::string text =
        "He said \"hi\" \\ then\nleft. Gr\u00fc\u00dfe \u2014 \u65e5\u672c \U0001F600\t/";
    const std::string line = Runtime::write(Reply{true, "apple-vision", text, std::nullopt});
    ASSERT_TRUE(line.ends_with("\n"));
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.find(": "), std::string::npos);
    EXPECT_NE(line.find("Gr\u00fc\u00dfe"), std::string::npos); // UTF-8, not \u escapes
    const auto parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed, (nlohmann::json{{"ok", true}, {"engine", "apple-vision"}, {"text", text}}));
}

TEST(RuntimeReply, AbsentMembersAreNotWrittenAndTextThatCannotBeEncodedGivesTheFixedLine) {
    EXPECT_EQ(nlohmann::json::parse(Runtime::write(Reply{false, std::nullopt, std::nullopt, "E"})),
              (nlohmann::json{{"ok", false}, {"error", "E"}}));
    EXPECT_EQ(Runtime::write(Reply{true, "apple-foundation", std::string("bad \xff byte"), std::nullopt}),
              "{\"ok\":false,\"error\":\"Could not encode response.\"}\n");
}

} // namespace
} // namespace ulvo
