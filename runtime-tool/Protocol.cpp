#include "runtime-tool/Protocol.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace ulvo {

namespace {

constexpr const char* noArguments = "Expected availability or explain.";
constexpr const char* unknownCommand = "Unknown command for the built-in model.";
constexpr const char* notReady = "The built-in model is not ready on this computer.";
constexpr const char* missingText = "Missing text to explain.";
constexpr const char* noText = "No readable text was found in this image.";
constexpr const char* encodingFailed = "{\"ok\":false,\"error\":\"Could not encode response.\"}";
constexpr const char* modelEngine = "apple-foundation";
constexpr const char* visionEngine = "apple-vision";

// The tool's own level bands, not the application's prompts.
constexpr const char* telegraphicBand =
    "Telegraphic mode: ultra-short fragments, no articles, no linking verbs. Three to five fragments, each "
    "five words or fewer. Every fragment carries a real fact about the selected text and reuses its own key "
    "nouns and technical terms, kept exact. Never write grunts or sound effects ('Oog', 'Ooga', 'Ugh'). "
    "Never invent unrelated subjects such as fire, sun, rocks, lava, caves, or hunting unless the text is "
    "about them. Do not roleplay and do not announce anything.";
constexpr const char* fiveYearOldBand =
    "Five-year-old mode: at most 3 sentences and at most 40 words total, in tiny everyday words. Output the "
    "explanation itself and nothing else: never announce what you are doing (no 'here is a simple "
    "explanation') and never open with 'Okay' or 'Imagine'. Do not force an analogy; use one only if it "
    "truly helps, and make it a fresh everyday comparison each time (never a puzzle piece).";
constexpr const char* everydayBand =
    "Everyday mode: explain like a friendly person chatting with a friend — warm, natural, conversational. "
    "Plain everyday words and contractions, get to the point, no stiff or textbook phrasing and no "
    "dictionary-style 'X is a … element that' openers. Analogy optional, only if it helps.";
constexpr const char* expertBand =
    "Expert mode: include important mechanisms, examples, and one useful caveat.";
constexpr const char* professorBand =
    "Professor mode: give an expert explanation with mechanisms, trade-offs, assumptions, and caveats.";

const char* bandSentence(std::int64_t level) {
    if (level < 20) {
        return telegraphicBand;
    }
    if (level < 40) {
        return fiveYearOldBand;
    }
    if (level < 60) {
        return everydayBand;
    }
    if (level < 80) {
        return expertBand;
    }
    return professorBand;
}

std::string joined(std::vector<std::string>::const_iterator first,
                   std::vector<std::string>::const_iterator last) {
    std::string text;
    for (auto it = first; it != last; ++it) {
        if (it != first) {
            text += ' ';
        }
        text += *it;
    }
    return text;
}

Reply failure(std::string error, std::optional<std::string> engine = std::nullopt) {
    return Reply{false, std::move(engine), std::nullopt, std::move(error)};
}

} // namespace

std::optional<std::string> ULVOFoundationRuntime::value(const std::string& key,
                                                        const std::vector<std::string>& arguments) {
    const auto found = std::find(arguments.begin(), arguments.end(), key);
    if (found == arguments.end() || std::next(found) == arguments.end()) {
        return std::nullopt;
    }
    return *std::next(found);
}

std::int64_t ULVOFoundationRuntime::level(const std::string& text) {
    // One optional sign, then ASCII digits only: no spaces, no decimal point, no second sign.
    const std::size_t digits = !text.empty() && (text.front() == '+' || text.front() == '-') ? 1 : 0;
    if (text.size() == digits || !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(digits), text.end(),
                                              [](char c) { return c >= '0' && c <= '9'; })) {
        return defaultLevel;
    }
    // from_chars takes a minus sign but not a plus sign.
    const char* first = text.data() + (text.front() == '+' ? 1 : 0);
    const char* last = text.data() + text.size();
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last) {
        return defaultLevel;
    }
    return std::clamp<std::int64_t>(value, 0, 100);
}

ULVOFoundationRuntime::ExplainRequest
ULVOFoundationRuntime::explainRequest(const std::vector<std::string>& arguments) {
    ExplainRequest request;
    const auto separator = std::find(arguments.begin(), arguments.end(), "--");
    // --level counts wherever it stands, even behind the separator.
    const auto levelKey = std::find(arguments.begin(), arguments.end(), "--level");
    const bool structured =
        separator != arguments.end() && levelKey != arguments.end() && std::next(levelKey) != arguments.end();
    if (structured) {
        request.level = level(*std::next(levelKey));
        request.text = joined(std::next(separator), arguments.end());
    } else if (!arguments.empty()) {
        request.text = joined(std::next(arguments.begin()), arguments.end());
    }
    request.language = value("--language", arguments).value_or("en");
    return request;
}

std::string ULVOFoundationRuntime::ocrPath(const std::vector<std::string>& arguments) {
    if (std::optional<std::string> path = value("--", arguments)) {
        return *path;
    }
    return arguments.size() > 1 ? arguments.back() : std::string();
}

std::string ULVOFoundationRuntime::instructions(std::int64_t level, const std::string& language) {
    return std::string("Explain selected text clearly and accurately. ") + bandSentence(level) +
           " Always answer in the user's system language (" + language +
           "). If the selected text is in another language, translate its meaning while explaining it. "
           "Do not use Markdown asterisks. Never use dashes as punctuation (no \u2014, \u2013, or -); "
           "use commas or separate sentences.";
}

Reply ULVOFoundationRuntime::run(const std::vector<std::string>& arguments, const Services& services) {
    if (arguments.empty()) {
        return failure(noArguments);
    }
    const std::string& command = arguments.front();
    if (command == "ocr") {
        std::string text = services.recognizeText(ocrPath(arguments));
        if (text.empty()) {
            return failure(noText);
        }
        return Reply{true, visionEngine, std::move(text), std::nullopt};
    }
    if (command == "availability") {
        const std::unique_ptr<ExplanationModel> model = services.loadModel();
        if (!model) {
            return failure(notReady, modelEngine);
        }
        return Reply{true, modelEngine, std::nullopt, std::nullopt, model->device()};
    }
    if (command == "explain") {
        const ExplainRequest request = explainRequest(arguments);
        // Before the gate, so a missing text reads the same whether or not a model is there.
        if (request.text.empty()) {
            return failure(missingText);
        }
        const std::unique_ptr<ExplanationModel> model = services.loadModel();
        if (!model) {
            return failure(notReady, modelEngine);
        }
        ModelOutcome outcome = model->respond(instructions(request.level, request.language), request.text);
        if (!outcome.answer) {
            return failure(std::move(outcome.failure), modelEngine);
        }
        return Reply{true, modelEngine, std::move(outcome.answer), std::nullopt};
    }
    return failure(unknownCommand);
}

std::string ULVOFoundationRuntime::write(const Reply& reply) {
    try {
        nlohmann::json object = nlohmann::json::object();
        object["ok"] = reply.ok;
        for (const auto& [key, member] :
             {std::pair{"engine", &reply.engine}, std::pair{"text", &reply.text},
              std::pair{"error", &reply.error}, std::pair{"device", &reply.device}}) {
            if (*member) {
                object[key] = **member;
            }
        }
        // Compact, non-ASCII as UTF-8; text that is not UTF-8 throws and takes the fixed line.
        return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict) + '\n';
    } catch (const std::exception&) {
        return std::string(encodingFailed) + '\n';
    }
}

} // namespace ulvo
