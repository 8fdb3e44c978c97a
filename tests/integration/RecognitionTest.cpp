// Text recognition through real Tesseract on images rendered here (region capture reads a real window).
#include "platform/linux/TextRecognition.h"
#include "tests/integration/TextImages.h"
#include "tests/support/Files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace ulvo {
namespace {

using test::characterAccuracy;
using test::Lines;
using test::Page;
using test::TextBlock;

constexpr double requiredAccuracy = 0.98;

const char* const firstParagraph =
    "The river carried the boats past the old mill every morning, and the miller counted them from his "
    "window while the bread was baking.";
const char* const secondParagraph =
    "In winter the water froze along the banks, so the traders waited in the village until the ice broke "
    "and the current was strong again.";

class RecognitionTest : public ::testing::Test {
protected:
    std::filesystem::path image(const std::string& name) const { return directory / (name + ".png"); }
    static std::string read(const std::filesystem::path& path) { return recognizeText(path, "en"); }

    test::ScratchFolder directory;
};

TEST_F(RecognitionTest, TwoColumnsAreReadRowByRowLeftFirst) {
    // Rows of both columns stand at the same heights, so each row reads left column, then right.
    Page page{1000, 400, {1, 1, 1}, {}};
    page.blocks = {
        TextBlock{std::string(firstParagraph) + " " + secondParagraph, "DejaVu Sans 18px", 40, 40, 400, {}},
        TextBlock{std::string(secondParagraph) + " " + firstParagraph, "DejaVu Sans 18px", 540, 40, 400, {}}};
    const auto blocks = test::renderPng(page, image("columns"));
    std::string truth;
    for (std::size_t row = 0; row < std::max(blocks[0].size(), blocks[1].size()); ++row) {
        for (const Lines& column : blocks) {
            if (row < column.size()) {
                truth += (truth.empty() ? "" : "\n") + column[row];
            }
        }
    }
    const std::string text = read(image("columns"));
    EXPECT_GE(characterAccuracy(truth, text), requiredAccuracy) << text;
    // Each column's line is a line of its own, not run together with its neighbour.
    EXPECT_EQ(std::ranges::count(text, '\n'), std::ranges::count(truth, '\n')) << text;

    // The engine is shared: nothing of this page may turn up in the next.
    test::renderPng(Page{300, 200, {1, 1, 1}, {}}, image("blank"));
    EXPECT_EQ(read(image("blank")), "");
}

TEST_F(RecognitionTest, TheUsersLanguageIsAddedWhenItsDataIsInstalled) {
    const std::string sentence = "Die Größe der Brücke überraschte die Bäckerin außerordentlich.";
    Page page{1000, 120, {1, 1, 1}, {TextBlock{sentence, "DejaVu Sans 20px", 30, 40, 940, {}}}};
    test::renderPng(page, image("german"));
    TesseractRecognizer recognizer;
    const std::string text = recognizer.recognizeText(image("german").string(), "de-AT");
    EXPECT_EQ(recognizer.languages(), "eng+deu");
    EXPECT_GE(characterAccuracy(sentence, text), requiredAccuracy) << text;
}

TEST_F(RecognitionTest, WhatIsNotAnImageOrLacksLanguageDataGivesNothing) {
    test::writeFile(directory / "notes.txt", "plain text, not an image\n");
    EXPECT_EQ(read(directory / "notes.txt"), "");

    test::renderPng(Page{600, 100, {1, 1, 1}, {TextBlock{"Some words", "DejaVu Sans 24px", 20, 30, 560, {}}}},
                    image("words"));
    std::filesystem::create_directories(directory / "tessdata");
    ::setenv("TESSDATA_PREFIX", (directory / "tessdata").c_str(), 1);
    TesseractRecognizer recognizer;
    EXPECT_EQ(recognizer.recognizeText(image("words").string(), "en"), "");
    ::unsetenv("TESSDATA_PREFIX");
}

} // namespace
} // namespace ulvo
