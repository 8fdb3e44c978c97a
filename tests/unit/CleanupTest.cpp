#include "answer/Cleanup.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace ulvo {
namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

void expectCleaned(const Cases& cases, Level level) {
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(clean(input, level), expected) << "input: " << input << ", level " << level;
    }
}

void expectUnchanged(const std::vector<std::string>& inputs, Level level) {
    for (const std::string& input : inputs) {
        EXPECT_EQ(clean(input, level), input) << "level " << level;
    }
}

// "w1 w2 ... wN", distinct words for counting.
std::string numberedWords(int count) {
    std::string out;
    for (int i = 1; i <= count; ++i) {
        out += (i == 1 ? "w" : " w") + std::to_string(i);
    }
    return out;
}

TEST(CleanupTest, PlainBandIsTelegraphic) {
    expectCleaned(
        {
            {"Okay, here is a simple explanation: A cat is a small animal that lives with people. It has "
             "fur.",
             "Cat small animal lives. People. Has fur."},
            // The fifth fragment ends the answer, even mid-sentence.
            {"Bb cc. Dd ee ff gg hh ii jj kk ll mm nn oo pp qq rr ss tt uu. Vv.",
             "Bb cc. Dd ee ff gg. Hh ii jj kk. Ll mm nn oo. Pp qq rr ss."},
            {"It is.", ""},
            {"NASA's five-year plan \u2014 (soon)!", "NASA's five-year plan soon."},
            {"ß is odd. 猫は動物です。🐱 Ölwechsel!", "SS odd. 猫は動物です Ölwechsel."},
        },
        5);
    EXPECT_EQ(toTelegraphic("The cat IS on a mat of theirs", 5, 4), "Cat mat theirs.");
}

TEST(CleanupTest, AboveThePlainBandGruntsFillerLabelsAndMarksGoWhatIsSaidStays) {
    const std::string prefix91 = "Here " + std::string(86, 'x');
    expectCleaned(
        {
            {"OOGA BOOGA UGH. Fire.", "Fire."},
            {"Hmm", ""},
            {"Ugh. Okay, fine.", "fine."},
            {"Sure! Here's the caveman breakdown: Fire hot.", "Fire hot."},
            {"Here is the time: 10:30", "10:30"},
            {"*Really* fast, **bold** and `x` ```y```.", "Really fast, bold and x y."},
            {"* first\n* second", "first\nsecond"},
            {"From 3\u2014then more.", "From 3, then more."},
            {"one\u2013two and three \u2013 four", "one, two and three, four"},
            {"a five-year-old word - word", "a five-year-old word, word"},
            {"It ends \u2014.", "It ends."},
            {"a ,b and c,,,d", "a,b and c,,d"},
            {"a;b and Say:\"hi\" and x:(y)", "a; b and Say: \"hi\" and x: (y)"},
            {"Straße\u2014groß 🐱 猫は動物です。", "Straße, groß 🐱 猫は動物です。"},
            {"Cats\xff purr.", "Cats\uFFFD purr."},
            {"\u00A0\u2003\r\n Cats purr.\u3000\u00A0", "Cats purr."},
        },
        50);
    // A grunt or filler word that starts a real phrase, a dash or asterisk between numbers, code, addresses
    // and a colon that announces nothing stay.
    expectUnchanged({"", "Ogre is a monster.", "Grunt work is dull.",
                     "Right angles are square, and the survey ran 1990\u20132000 with 5 - 3 = 2 sites left.",
                     "Pages 10 \u2013 12 and 2 * 3 = 6.", "Use std::vector or mailto:help@example.org.",
                     "Photosynthesis: the process plants use.", "The atmosphere: thin air.",
                     "It is done. Here is why: cats.", prefix91 + ": Body."},
                    50);
}

TEST(CleanupTest, FiveYearOldLength) {
    const std::string forty = numberedWords(40);
    expectCleaned(
        {
            {"One cat. Two dogs! Three birds? Four fish. Five ants.", "One cat. Two dogs! Three birds?"},
            {numberedWords(45) + ".", forty + "."},
            {numberedWords(39) + " forty,;: w41 w42.", numberedWords(39) + " forty."},
            {numberedWords(39) + " stop! more words", numberedWords(39) + " stop!"},
        },
        20);
    expectUnchanged({"", forty}, 20); // exactly forty words is not cut
}

TEST(CleanupTest, PartialCleanupParagraphByParagraphMatchesTheWholeText) {
    const std::string answer =
        "Okay, **Plants** make food:fast.\n\nThey use light\u2014mostly sun.\n\nWell, that is `all` of it.";
    PartialCleaner cleaner(70);
    std::string shown;
    for (std::size_t end = 1; end <= answer.size(); ++end) {
        shown = cleaner(answer.substr(0, end));
    }
    EXPECT_EQ(shown, cleanPartial(answer, 70));
    EXPECT_EQ(shown, "Plants make food: fast.\n\nThey use light, mostly sun.\n\nWell, that is all of it.");
}

} // namespace
} // namespace ulvo
