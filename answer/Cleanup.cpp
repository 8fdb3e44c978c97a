#include "answer/Cleanup.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace ulvo {
namespace {

using icu::RegexPattern;
using icu::UnicodeString;

constexpr char16_t sentenceMark = 0x0001;
constexpr std::size_t fiveYearOldSentences = 3;
constexpr std::size_t fiveYearOldWords = 40;
constexpr int plainFragments = 5;
constexpr int plainWordsPerFragment = 4;

void check(UErrorCode status, const char* what) {
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("cleanup: ") + what + ": " + u_errorName(status));
    }
}

// Read-only alias: no copy for the constant strings used on every call.
UnicodeString alias(std::u16string_view text) {
    return {false, text.data(), static_cast<int32_t>(text.size())};
}

std::unique_ptr<RegexPattern> compile(std::u16string_view pattern, uint32_t flags) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    std::unique_ptr<RegexPattern> compiled(RegexPattern::compile(alias(pattern), flags, where, status));
    check(status, "compiling a pattern");
    return compiled;
}

struct Patterns {
    std::unique_ptr<RegexPattern> sentenceEnd = compile(u"([.!?])\\s+", 0);
    // A grunt is a whole word ("Ogre", "Ogham" stay) set off by punctuation, another grunt or the end,
    // so a real phrase that starts with one ("Grunt work is dull.") stays too.
    std::unique_ptr<RegexPattern> grunts =
        compile(u"^\\s*(?:(?:o+g+a?|ooga|booga|ugh|hmm|grunt)\\b"
                u"(?:\\s*[.,!][\\s.,!]*|\\s+(?=(?:o+g+a?|ooga|booga|ugh|hmm|grunt)\\b)|\\s*$))+",
                UREGEX_CASE_INSENSITIVE);
    // Only with punctuation after it is a leading word filler: "Right, so" and "Okay." go, "Right angles"
    // stays.
    std::unique_ptr<RegexPattern> filler =
        compile(u"^\\s*(?:okay|ok|sure|alright|right|well)\\b[,.!]\\s*", UREGEX_CASE_INSENSITIVE);
    // Markdown's marks come in pairs around text; a lone asterisk or backtick is part of what is said
    // ("char *p", "2 * 3").
    std::unique_ptr<RegexPattern> strong = compile(u"\\*\\*(?=\\S)(.+?)(?<=\\S)\\*\\*", 0);
    std::unique_ptr<RegexPattern> emphasis =
        compile(u"(?<![\\p{L}\\p{N}*])\\*(?=\\S)([^*\\n]+?)(?<=\\S)\\*(?![\\p{L}\\p{N}*])", 0);
    std::unique_ptr<RegexPattern> inlineCode = compile(u"`([^`\\n]+)`", 0);
    std::unique_ptr<RegexPattern> bullet = compile(u"^[ \\t]*\\*[ \\t]+", UREGEX_MULTILINE);
    // No colon in the prefix, so "Here is the time: 10:30" keeps its "10:30".
    std::unique_ptr<RegexPattern> label = compile(u"^[^.\\n?!:]{0,90}:\\s*", 0);
    // Leading boundary only: "atmosphere" or "Conversion" are not announcements.
    std::unique_ptr<RegexPattern> labelKeyword =
        compile(u"\\b(?:here|explanation|explain|simple|five|5[- ]year|caveman|version|breakdown)",
                UREGEX_CASE_INSENSITIVE);
    std::unique_ptr<RegexPattern> nonWordChar = compile(u"[^\\p{L}\\p{N}'\\-\\s]", 0);
};

const Patterns& patterns() {
    static const Patterns compiled;
    return compiled;
}

const std::unordered_set<std::u16string_view>& telegraphicDrop() {
    static const std::unordered_set<std::u16string_view> words{
        u"a",      u"an",    u"the",   u"is",   u"are",  u"was",   u"were",   u"be",    u"been",
        u"being",  u"am",    u"of",    u"to",   u"and",  u"or",    u"but",    u"so",    u"that",
        u"this",   u"these", u"those", u"it",   u"its",  u"as",    u"with",   u"for",   u"by",
        u"in",     u"on",    u"at",    u"from", u"into", u"can",   u"will",   u"would", u"could",
        u"should", u"may",   u"might", u"do",   u"does", u"very",  u"really", u"just",  u"also",
        u"then",   u"there", u"their", u"they", u"them", u"which", u"who",    u"what",  u"when",
        u"your",   u"you",   u"we",    u"our",  u"he",   u"she",   u"his",    u"her"};
    return words;
}

UnicodeString fromUtf8(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        throw std::length_error("cleanup: text too long");
    }
    return UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

UnicodeString replaceAll(const RegexPattern& pattern, const UnicodeString& text,
                         std::u16string_view replacement) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(text, status));
    check(status, "matching");
    UnicodeString out = matcher->replaceAll(alias(replacement), status);
    check(status, "replacing");
    return out;
}

UnicodeString removeFirst(const RegexPattern& pattern, const UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(text, status));
    check(status, "matching");
    UnicodeString out = matcher->replaceFirst(UnicodeString(), status);
    check(status, "replacing");
    return out;
}

bool contains(const RegexPattern& pattern, const UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(text, status));
    check(status, "matching");
    const bool found = matcher->find(status) != 0;
    check(status, "searching");
    return found;
}

void replaceLiteral(UnicodeString& text, std::u16string_view from, std::u16string_view to) {
    text.findAndReplace(alias(from), alias(to));
}

UnicodeString trimmed(const UnicodeString& text) {
    int32_t begin = 0;
    int32_t end = text.length();
    while (begin < end && u_isUWhiteSpace(text.char32At(begin))) {
        begin = text.moveIndex32(begin, 1);
    }
    while (end > begin) {
        const int32_t previous = text.moveIndex32(end, -1);
        if (!u_isUWhiteSpace(text.char32At(previous))) {
            break;
        }
        end = previous;
    }
    return {text, begin, end - begin};
}

bool isBlank(const UnicodeString& text) {
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        if (!u_isUWhiteSpace(text.char32At(i))) {
            return false;
        }
    }
    return true;
}

// Separators are all BMP, so splitting on code units never cuts a character.
template <typename IsSeparator>
std::vector<UnicodeString> splitWords(const UnicodeString& text, IsSeparator isSeparator) {
    std::vector<UnicodeString> words;
    int32_t start = 0;
    for (int32_t i = 0; i <= text.length(); ++i) {
        if (i == text.length() || isSeparator(text.charAt(i))) {
            if (i > start) {
                words.emplace_back(text, start, i - start);
            }
            start = i + 1;
        }
    }
    return words;
}

UnicodeString joinWords(const std::vector<UnicodeString>& words, std::size_t count) {
    UnicodeString out;
    for (std::size_t i = 0; i < count && i < words.size(); ++i) {
        if (i > 0) {
            out.append(u' ');
        }
        out.append(words[i]);
    }
    return out;
}

std::vector<UnicodeString> sentences(const UnicodeString& text) {
    const std::u16string marked{u'$', u'1', sentenceMark};
    const UnicodeString split = replaceAll(*patterns().sentenceEnd, text, marked);
    std::vector<UnicodeString> out;
    int32_t start = 0;
    while (start <= split.length()) {
        int32_t stop = split.indexOf(sentenceMark, start);
        if (stop < 0) {
            stop = split.length();
        }
        UnicodeString piece(split, start, stop - start);
        if (!isBlank(piece)) {
            out.push_back(std::move(piece));
        }
        start = stop + 1;
    }
    return out;
}

UnicodeString capitalised(UnicodeString text) {
    const int32_t first = U16_LENGTH(text.char32At(0));
    UnicodeString head(text, 0, first);
    head.toUpper(icu::Locale::getRoot());
    return text.replace(0, first, head);
}

struct FragmentShape {
    std::size_t maxFragments;
    std::size_t wordsPerFragment;
};

UnicodeString telegraphic(const UnicodeString& text, FragmentShape shape) {
    const auto& drop = telegraphicDrop();
    std::vector<UnicodeString> fragments;
    for (const UnicodeString& sentence : sentences(text)) {
        if (fragments.size() >= shape.maxFragments) {
            break;
        }
        const UnicodeString lettersOnly = replaceAll(*patterns().nonWordChar, sentence, u" ");
        std::vector<UnicodeString> kept;
        for (UnicodeString& word :
             splitWords(lettersOnly, [](char16_t c) { return c == u' ' || c == u'\n' || c == u'\t'; })) {
            UnicodeString lower(word);
            lower.toLower(icu::Locale::getRoot());
            if (!drop.contains(
                    std::u16string_view(lower.getBuffer(), static_cast<std::size_t>(lower.length())))) {
                kept.push_back(std::move(word));
            }
        }
        for (std::size_t i = 0; i < kept.size(); i += shape.wordsPerFragment) {
            if (fragments.size() >= shape.maxFragments) {
                break;
            }
            const std::vector<UnicodeString> chunk(
                kept.begin() + static_cast<std::ptrdiff_t>(i),
                kept.begin() +
                    static_cast<std::ptrdiff_t>(std::min(i + shape.wordsPerFragment, kept.size())));
            UnicodeString fragment = capitalised(joinWords(chunk, chunk.size()));
            fragment.append(u'.');
            fragments.push_back(std::move(fragment));
        }
    }
    return joinWords(fragments, fragments.size());
}

bool endsWithAny(const UnicodeString& text, std::u16string_view marks) {
    return !text.isEmpty() && marks.find(text.charAt(text.length() - 1)) != std::u16string_view::npos;
}

// Three sentences and at most forty space-separated words; cut text still ends like a sentence.
UnicodeString limitForFiveYearOld(const UnicodeString& text) {
    const std::vector<UnicodeString> parts = sentences(text);
    const UnicodeString kept = trimmed(joinWords(parts, fiveYearOldSentences));
    const std::vector<UnicodeString> words = splitWords(kept, [](char16_t c) { return c == u' '; });
    if (words.size() <= fiveYearOldWords) {
        return kept;
    }
    UnicodeString cut = joinWords(words, fiveYearOldWords);
    while (endsWithAny(cut, u",;:")) {
        cut.truncate(cut.length() - 1);
    }
    if (!endsWithAny(cut, u".!?")) {
        cut.append(u'.');
    }
    return cut;
}

bool isDigitAt(const UnicodeString& text, int32_t index) {
    return index >= 0 && index < text.length() && u_isdigit(text.charAt(index)) != 0;
}

bool isLongDash(char16_t c) {
    return c == u'\u2014' || c == u'\u2013';
}

// Dashes used as punctuation (an em or en dash, spaced or not, or a spaced hyphen) become commas; a
// dash between two numbers ("1990\u20132000", "5 - 3") is part of what is said and stays. Then the
// commas they leave behind are tidied.
void repairDashes(UnicodeString& text) {
    UnicodeString out;
    for (int32_t i = 0; i < text.length();) {
        int32_t end = i;
        if (i + 2 < text.length() && text.charAt(i) == u' ' && text.charAt(i + 2) == u' ' &&
            (isLongDash(text.charAt(i + 1)) || text.charAt(i + 1) == u'-')) {
            end = i + 3;
        } else if (isLongDash(text.charAt(i))) {
            end = i + 1;
        }
        if (end == i) {
            out.append(text.charAt(i));
            ++i;
        } else if (isDigitAt(text, i - 1) && isDigitAt(text, end)) {
            out.append(text, i, end - i);
            i = end;
        } else {
            out.append(u", ");
            i = end;
        }
    }
    text = out;
    static constexpr std::array<std::pair<std::u16string_view, std::u16string_view>, 3> tidy{{
        {u" ,", u","},
        {u", .", u"."},
        {u",,", u","},
    }};
    for (const auto& [from, to] : tidy) {
        replaceLiteral(text, from, to);
    }
}

bool isAsciiLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// Whether the colon at `colon` ends a URI scheme ("mailto:", "urn:", "data:"): the word before it,
// from a space or the start, is a scheme name.
bool endsScheme(const UnicodeString& text, int32_t colon) {
    static const std::unordered_set<std::u16string_view> schemes{
        u"mailto", u"tel",  u"urn", u"data", u"http", u"https", u"ftp", u"file", u"sms", u"geo",
        u"magnet", u"xmpp", u"sip", u"news", u"irc",  u"ws",    u"wss", u"git",  u"ssh"};
    int32_t start = colon;
    while (start > 0 && (isAsciiLetter(text.charAt(start - 1)) || u_isdigit(text.charAt(start - 1)) ||
                         text.charAt(start - 1) == u'+' || text.charAt(start - 1) == u'.' ||
                         text.charAt(start - 1) == u'-')) {
        --start;
    }
    UnicodeString word(text, start, colon - start);
    word.toLower(icu::Locale::getRoot());
    return schemes.contains(std::u16string_view(word.getBuffer(), static_cast<std::size_t>(word.length())));
}

// One space after a colon or semicolon that runs into the next word ("Note:This"), but never inside
// "::" ("std::vector") or after a URI scheme ("mailto:help@example.org").
UnicodeString spacedAfterColons(const UnicodeString& text) {
    UnicodeString out;
    for (int32_t i = 0; i < text.length(); ++i) {
        const char16_t c = text.charAt(i);
        out.append(c);
        if ((c != u':' && c != u';') || i + 1 >= text.length()) {
            continue;
        }
        const char16_t next = text.charAt(i + 1);
        if (!isAsciiLetter(next) && next != u'"' && next != u'\'' && next != u'(') {
            continue;
        }
        if (c == u':' && ((i > 0 && text.charAt(i - 1) == u':') || endsScheme(text, i))) {
            continue;
        }
        out.append(u' ');
    }
    return out;
}

} // namespace

namespace {

// continuation: a later paragraph of a partial answer, where the opening's grunts, filler and label are
// words of the answer.
std::string cleanText(std::string_view text, Level level, bool partial, bool continuation = false) {
    const Patterns& p = patterns();
    UnicodeString s = fromUtf8(text);
    replaceLiteral(s, u"```", u"");
    s = replaceAll(*p.strong, s, u"$1");
    s = replaceAll(*p.emphasis, s, u"$1");
    s = replaceAll(*p.inlineCode, s, u"$1");
    s = replaceAll(*p.bullet, s, u"");
    s = trimmed(s);
    if (!continuation) {
        s = removeFirst(*p.grunts, s);
        s = removeFirst(*p.filler, s);
    }

    if (!continuation) {
        UErrorCode status = U_ZERO_ERROR;
        const std::unique_ptr<icu::RegexMatcher> matcher(p.label->matcher(s, status));
        check(status, "matching");
        if (matcher->find(status) != 0) {
            check(status, "searching");
            const int32_t start = matcher->start(status);
            const int32_t end = matcher->end(status);
            check(status, "reading a match");
            if (contains(*p.labelKeyword, UnicodeString(s, start, end - start))) {
                s.remove(start, end - start);
            }
        }
        check(status, "searching");
    }

    s = spacedAfterColons(s);

    switch (partial ? LevelBand::professor : levelBand(level)) {
    case LevelBand::plain:
        return toUtf8(telegraphic(s, {plainFragments, plainWordsPerFragment}));
    case LevelBand::fiveYearOld:
        s = limitForFiveYearOld(s);
        break;
    case LevelBand::friendly:
    case LevelBand::nonSpecialist:
    case LevelBand::professor:
        break;
    }
    repairDashes(s);
    if (partial) {
        // Marks whose other half has not arrived yet: strong and code marks anywhere, an emphasis
        // mark that opens a word, and whatever mark the text ends in.
        s.findAndReplace(u"**", u"");
        s.findAndReplace(u"__", u"");
        s.findAndReplace(u"`", u"");
        for (int32_t i = s.indexOf(u'*'); i >= 0; i = s.indexOf(u'*', i)) {
            const bool opensWord =
                (i == 0 || u_isspace(s.charAt(i - 1))) && i + 1 < s.length() && u_isalnum(s.charAt(i + 1));
            if (opensWord) {
                s.remove(i, 1);
            } else {
                ++i;
            }
        }
        while (!s.isEmpty() && (s.endsWith(u"*") || s.endsWith(u"#") || s.endsWith(u"_"))) {
            s.truncate(s.length() - 1);
        }
    }
    return toUtf8(trimmed(s));
}

} // namespace

std::string clean(std::string_view text, Level level) {
    return cleanText(text, level, false);
}

std::string cleanPartial(std::string_view text, Level level) {
    return cleanText(text, level, true);
}

std::string PartialCleaner::operator()(std::string_view text) {
    if (text.substr(0, settledSource_.size()) != settledSource_) {
        settledSource_.clear();
        settled_.clear();
    }
    // Settles every whole paragraph before the last break.
    const std::size_t lastBreak = text.rfind("\n\n");
    if (lastBreak != std::string_view::npos && lastBreak + 2 > settledSource_.size()) {
        const std::string_view fresh =
            text.substr(settledSource_.size(), lastBreak + 2 - settledSource_.size());
        const std::string cleaned = cleanText(fresh, level_, true, !settledSource_.empty());
        if (!cleaned.empty()) {
            settled_ += (settled_.empty() ? "" : "\n\n") + cleaned;
        }
        settledSource_.append(fresh);
    }
    const std::string tail =
        cleanText(text.substr(settledSource_.size()), level_, true, !settledSource_.empty());
    if (tail.empty() || settled_.empty()) {
        return settled_.empty() ? tail : settled_;
    }
    return settled_ + "\n\n" + tail;
}

// Non-positive limits: no fragments, or one word per fragment.
std::string toTelegraphic(std::string_view text, int maxFragments, int wordsPerFragment) {
    const FragmentShape shape{static_cast<std::size_t>(std::max(maxFragments, 0)),
                              static_cast<std::size_t>(std::max(wordsPerFragment, 1))};
    return toUtf8(telegraphic(fromUtf8(text), shape));
}

} // namespace ulvo
