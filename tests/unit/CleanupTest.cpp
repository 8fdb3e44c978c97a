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
std::string numberedWords(int count, const std::string& stem = "w") {
    std::string out;
    for (int i = 1; i <= count; ++i) {
        out += (i == 1 ? "" : " ") + stem + std::to_string(i);
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
            {"Cats - dogs.", "Cats - dogs."},
            {"Cats \u2014 dogs \u2013 mice; (birds)!", "Cats dogs mice birds."},
            {"NASA's five-year plan.", "NASA's five-year plan."},
        },
        5);
    EXPECT_EQ(clean("It is.", 10), "");
    EXPECT_EQ(clean("It is.", 11), "It is.");
}

TEST(CleanupTest, TelegraphicDropsFunctionWordsAndRespectsLimits) {
    EXPECT_EQ(toTelegraphic("The cat IS on a mat of theirs", 5, 4), "Cat mat theirs.");
    EXPECT_EQ(toTelegraphic("Cats purr. Dogs bark.", 5, 4), "Cats purr. Dogs bark.");
    EXPECT_EQ(toTelegraphic("one two three", 2, 1), "One. Two.");
    EXPECT_EQ(toTelegraphic("one two three", 0, 4), "");
    EXPECT_EQ(toTelegraphic("one two", 5, 0), "One. Two.");
    // Only space, line feed and tab separate words.
    EXPECT_EQ(toTelegraphic("cat\u00A0dog\tbird", 5, 4), "Cat\u00A0dog bird.");
}

TEST(CleanupTest, GruntsAndFillerGoButRealWordsStay) {
    expectCleaned(
        {
            {"OOGA BOOGA UGH. Fire.", "Fire."},
            {"Ugh, fire hot.", "fire hot."},
            {"Hmm", ""},
            {"Right, so cats purr.", "so cats purr."},
            {"Ugh. Okay, fine.", "fine."},
        },
        50);
    // The word boundary stops "Ogre" or "Hmmm" being half eaten; a grunt or filler word that starts a real
    // phrase, with no punctuation or other grunt after it, stays.
    expectUnchanged(
        {"Ogre is a monster.", "Hmmm, tricky.", "Grunt work is dull.", "Right angles are square."}, 50);
}

TEST(CleanupTest, WhatTheAnswerSaysStaysNumbersRangesAndCode) {
    for (const Level level : {50, 70, 95}) {
        expectUnchanged(
            {"Right angles are square, and the survey ran 1990\u20132000 with 5 - 3 = 2 sites left.",
             "Pages 10 \u2013 12 and 2 * 3 = 6.", "Declare char *p before the loop."},
            level);
        expectCleaned({{"*Really* fast, **bold** and `x`.", "Really fast, bold and x."},
                       {"* first\n* second", "first\nsecond"},
                       {"From 3\u2014then more.", "From 3, then more."}},
                      level);
    }
}

TEST(CleanupTest, AnnouncingLabelsOnly) {
    const std::string prefix90 = "Here " + std::string(85, 'x');
    expectCleaned(
        {
            {"Here is a simple explanation: Plants make food.", "Plants make food."},
            {"The 5-year-old version:\n  Cats purr.", "Cats purr."},
            {"Sure! Here's the caveman breakdown: Fire hot.", "Fire hot."},
            {"Here is the time: 10:30", "10:30"},
            {prefix90 + ": Body.", "Body."},
        },
        50);
    expectUnchanged({"Photosynthesis: the process plants use.", "The atmosphere: thin air.",
                     "It is done. Here is why: cats.", "Why? Here: cats.",
                     "Intro\nHere is the explanation: cats.", prefix90 + "x: Body."},
                    50);
}

TEST(CleanupTest, PunctuationRepairAboveThePlainBand) {
    const Cases cases{
        {"**Bold** and `code` ```x```", "Bold and code x"},
        {"Note:This works.", "Note: This works."},
        {"a;b and Say:\"hi\" and x:(y)", "a; b and Say: \"hi\" and x: (y)"},
        {"At 10:30 see https://x.org", "At 10:30 see https://x.org"},
        // Code and addresses stay whole.
        {"Use std::vector and Foo::Bar::baz.", "Use std::vector and Foo::Bar::baz."},
        {"Write to mailto:help@example.org or TEL:+1", "Write to mailto:help@example.org or TEL:+1"},
        {"fast\u2014really fast", "fast, really fast"},
        {"one\u2013two and three \u2013 four", "one, two and three, four"},
        {"word - word", "word, word"},
        {"a five-year-old", "a five-year-old"},
        {"It ends \u2014.", "It ends."},
        {"a ,b", "a,b"},
        {"a,,b and c,,,d", "a,b and c,,d"},
    };
    for (const Level level : {50, 70, 95}) {
        expectCleaned(cases, level);
    }
}

TEST(CleanupTest, FiveYearOldLength) {
    const std::string forty = numberedWords(40);
    expectCleaned(
        {
            {"One cat. Two dogs! Three birds? Four fish. Five ants.", "One cat. Two dogs! Three birds?"},
            {"One.\n\nTwo.  Three. Four.", "One. Two. Three."},
            {numberedWords(45) + ".", forty + "."},
            {numberedWords(39) + " forty,;: w41 w42.", numberedWords(39) + " forty."},
            {numberedWords(19) + " end! " + numberedWords(19, "v") + " stop! more words",
             numberedWords(19) + " end! " + numberedWords(19, "v") + " stop!"},
            {"Fast\u2014very fast.", "Fast, very fast."},
        },
        20);
    // Exactly forty words is not cut; words joined by a line feed count as one.
    expectUnchanged({forty, numberedWords(39) + "\nw40 w41"}, 20);
    EXPECT_EQ(clean(numberedWords(45), 30), forty + ".");
    EXPECT_EQ(clean(numberedWords(45), 31), numberedWords(45));
}

TEST(CleanupTest, NonAsciiAndInvalidUtf8) {
    EXPECT_EQ(clean("Straße\u2014groß 🐱 猫は動物です。", 50), "Straße, groß 🐱 猫は動物です。");
    EXPECT_EQ(clean("ß is odd. 猫は動物です。🐱 Ölwechsel!", 5), "SS odd. 猫は動物です Ölwechsel.");
    EXPECT_EQ(clean("Cats\xff purr.", 50), "Cats\uFFFD purr.");
    EXPECT_EQ(clean("purr \xE2\x80", 50), "purr \uFFFD");
    EXPECT_EQ(clean("\u00A0\u2003\r\n Cats purr.\u3000\u00A0", 50), "Cats purr.");
    for (const Level level : {5, 20, 50}) {
        EXPECT_EQ(clean("", level), "");
    }
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
