#include "answer/Prompts.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace ulvo {

namespace {

constexpr std::string_view opening = "Explain the selected text accurately without inventing facts. ";
constexpr std::string_view languageLeadIn = " Always answer in the user's system language (";
constexpr std::string_view closing =
    "). If the selected text is in another language, translate its meaning while explaining it. Plain text "
    "only: no Markdown, asterisks, backticks, code fences, numbered lists, or headings. Never use dashes as "
    "punctuation (no \u2014, \u2013, or -); use commas or separate sentences.";

constexpr std::string_view plainText =
    "Explain in plain, simple words: three or four very short sentences, each stating one concrete fact "
    "about "
    "the selected text. Use the selected text's own key nouns and technical terms. Never invent unrelated "
    "subjects. Do not roleplay, do not use grunts or sound effects, and do not announce anything.";
constexpr std::string_view fiveYearOldText =
    "Explain like the reader is a real five-year-old: at most 3 sentences and at most 40 words total, using "
    "only tiny everyday words a small child knows. Output the explanation itself and nothing else: never "
    "announce what you are doing (no 'here is a simple explanation'), and never open with 'Okay', 'Imagine', "
    "'Think of', or 'It's like'. Do NOT force an analogy; use a comparison only if it genuinely makes it "
    "clearer, and when you do, pick a fresh everyday one (animals, food, toys, weather, family, playground), "
    "never the same one twice and never a puzzle piece.";
constexpr std::string_view friendlyText =
    "Explain like a friendly person chatting with a friend: warm, natural, conversational. Use plain "
    "everyday "
    "words and contractions (it's, you're, that's). Get to the point in a sentence or two. No stiff, "
    "textbook, "
    "or corporate phrasing, and never a dictionary-style opener like 'X is a visual element that\u2026'. An "
    "analogy is optional \u2014 only if it genuinely helps.";
constexpr std::string_view nonSpecialistText =
    "Explain for an intelligent non-specialist, defining unfamiliar terms and adding useful detail.";
constexpr std::string_view professorText =
    "PROFESSOR MODE. Give expert mechanisms, trade-offs, assumptions, and caveats.";

constexpr std::string_view followupOpening = "Answer the follow-up only from this selected text:";
constexpr std::string_view followupLevel = "Stay concise and use explanation level ";
constexpr std::string_view followupLanguage = "/100. Always answer in the user's system language (";
constexpr std::string_view followupClosing =
    "), translating the selected text when needed. Plain text only. Never use dashes as punctuation (no "
    "\u2014, \u2013, or -); use commas or separate sentences.";

constexpr std::size_t maxLanguageLength = 35;

std::string_view bandText(Level level) {
    switch (levelBand(level)) {
    case LevelBand::plain:
        return plainText;
    case LevelBand::fiveYearOld:
        return fiveYearOldText;
    case LevelBand::friendly:
        return friendlyText;
    case LevelBand::nonSpecialist:
        return nonSpecialistText;
    case LevelBand::professor:
        break;
    }
    return professorText;
}

bool isTagCharacter(UChar32 c) {
    constexpr std::uint32_t alphanumeric = U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK;
    return c == '-' || (U_GET_GC_MASK(c) & alphanumeric) != 0;
}

} // namespace

std::string systemPrompt(Level level, std::string_view language) {
    std::string prompt;
    prompt.append(opening).append(bandText(level)).append(languageLeadIn).append(language).append(closing);
    return prompt;
}

std::string followupPrompt(std::string_view text, Level level, std::string_view language) {
    std::string prompt;
    prompt.append(followupOpening)
        .append("\n\"\"\"")
        .append(text)
        .append("\"\"\"\n")
        .append(followupLevel)
        .append(std::to_string(level))
        .append(followupLanguage)
        .append(language)
        .append(followupClosing);
    return prompt;
}

std::string preferredResponseLanguage(const std::vector<std::string>& preferredLanguages,
                                      std::string_view currentLocaleIdentifier) {
    const std::string_view source =
        preferredLanguages.empty() ? currentLocaleIdentifier : std::string_view(preferredLanguages.front());
    std::string tag;
    std::size_t kept = 0;
    const auto length = static_cast<std::int32_t>(source.size());
    for (std::int32_t offset = 0; offset < length && kept < maxLanguageLength;) {
        const std::int32_t start = offset;
        UChar32 c = 0;
        U8_NEXT(source.data(), offset, length, c);
        if (c >= 0 && isTagCharacter(c)) {
            tag.append(
                source.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start)));
            ++kept;
        }
    }
    return tag;
}

} // namespace ulvo
