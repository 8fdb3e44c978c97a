// Reading order of recognised lines and the choice of recognition languages.
#include "recognition/ReadingOrder.h"
#include "recognition/RecognitionLanguages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

namespace ulvo {
namespace {

// An observation whose box has the given vertical centre and left edge.
TextObservation at(double midY, double minX, std::optional<std::string> text) {
    return TextObservation{{minX, midY - 0.01, 0.2, 0.02}, std::move(text)};
}

TEST(ReadingOrder, RowsTopDownLeftToRightWithinTheToleranceTiesAsReportedAndNoEmptyLines) {
    const std::vector<std::pair<std::vector<TextObservation>, std::string>> cases = {
        {{at(0.515, 0.6, "right"), at(0.500, 0.1, "left")}, "left\nright"},
        {{at(0.50, 0.1, "lower"), at(0.53, 0.9, "upper")}, "upper\nlower"},
        {{at(0.5, 0.2, "c"), at(0.5, 0.2, "a"), at(0.5, 0.2, "b")}, "c\na\nb"},
        {{at(0.9, 0.1, "top"), at(0.5, 0.1, std::nullopt), at(0.1, 0.1, "bottom")}, "top\nbottom"},
        {{at(0.9, 0.1, " spaced "), at(0.5, 0.1, "")}, " spaced \n"},
    };
    for (const auto& [observations, text] : cases) {
        EXPECT_EQ(joinInReadingOrder(observations), text);
    }
}

TEST(ReadingOrder, DriftingRowsNeverLoseOrDuplicateLines) {
    // Long chains of lines each within the tolerance of its neighbour: the library sorts may run
    // past the range with such a comparator.
    std::mt19937 random(7332);
    std::uniform_real_distribution<double> drift(0.0, 0.019);
    std::uniform_real_distribution<double> left(0.0, 0.9);
    for (int round = 0; round < 50; ++round) {
        std::vector<TextObservation> observations;
        double y = 0.05;
        for (int i = 0; i < 200; ++i) {
            y += drift(random) * (i % 7 == 0 ? -1 : 1);
            observations.push_back(at(y, left(random), std::to_string(i)));
        }
        std::shuffle(observations.begin(), observations.end(), random);
        sortInReadingOrder(observations);
        std::vector<int> seen;
        for (const TextObservation& observation : observations) {
            seen.push_back(std::stoi(*observation.bestCandidate));
        }
        std::sort(seen.begin(), seen.end());
        std::vector<int> all(200);
        std::iota(all.begin(), all.end(), 0);
        ASSERT_EQ(seen, all);
    }
}

TEST(RecognitionLanguages, LanguageTagsBecomeTesseractDataNames) {
    for (const auto& [tag, code] : std::vector<std::pair<std::string, std::string>>{{"de-AT", "deu"},
                                                                                    {"zh-Hans-CN", "chi_sim"},
                                                                                    {"zh-TW", "chi_tra"},
                                                                                    {"sr-Latn", "srp_latn"},
                                                                                    {"nb-NO", "nor"},
                                                                                    {"", ""}}) {
        EXPECT_EQ(tesseractLanguageCode(tag), code) << tag;
    }
}

TEST(RecognitionLanguages, EnglishAlwaysAndTheUsersLanguageOnlyWhenInstalled) {
    const auto installed = [](const std::string& code) { return code == "deu" || code == "eng"; };
    EXPECT_EQ(tesseractLanguages("de-DE", installed), "eng+deu");
    EXPECT_EQ(tesseractLanguages("fr", installed), "eng");
    EXPECT_EQ(tesseractLanguages("en-GB", installed), "eng");
}

} // namespace
} // namespace ulvo
