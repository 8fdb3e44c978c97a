// Recognition of a 1920x1080 screenshot through the module against the tesseract command on the same
// image with the same languages. Prints "name: value unit" lines.
#include "bench/BenchSupport.h"
#include "platform/linux/TextRecognition.h"
#include "tests/integration/Subprocess.h"
#include "tests/integration/TextImages.h"

#include <unicode/locid.h>

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int runs = 5;

double seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A desktop-like screen: a dark title bar, a sidebar, two columns of prose, a dialog and a status line.
ulvo::test::Page screen() {
    using ulvo::test::TextBlock;
    const ulvo::test::Colour light{0.92, 0.92, 0.92};
    const std::string prose =
        "The river carried the boats past the old mill every morning, and the miller counted them from his "
        "window "
        "while the bread was baking. In winter the water froze along the banks, so the traders waited in the "
        "village until the ice broke and the current was strong again. ";
    ulvo::test::Page page{1920, 1080, {0.97, 0.97, 0.96}, {}};
    page.blocks = {
        TextBlock{"Documents - Quarterly planning notes", "DejaVu Sans Bold 15px", 24, 12, 900, {}},
        TextBlock{
            "Inbox\nDrafts\nSent items\nArchive\nProjects\nReports", "DejaVu Sans 15px", 24, 90, 220, {}},
        TextBlock{"Harbour traffic in the winter months", "DejaVu Sans Bold 26px", 300, 90, 1500, {}},
        TextBlock{prose + prose, "DejaVu Sans 15px", 300, 150, 700, {}},
        TextBlock{prose + prose, "DejaVu Sans 15px", 1060, 150, 700, {}},
        TextBlock{"Save changes to this document before closing?", "DejaVu Sans 16px", 640, 640, 640, light},
        TextBlock{"Ready  |  Line 42, Column 7  |  UTF-8", "DejaVu Sans 13px", 24, 1050, 800, {}},
    };
    return page;
}

std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\f')) {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

int main() {
    const std::filesystem::path image = std::filesystem::temp_directory_path() /
                                        ("ulvo-recognition-bench-" + std::to_string(::getpid()) + ".png");
    ulvo::test::renderPng(screen(), image);
    const std::string language = icu::Locale::getDefault().getLanguage();

    // Interleaved, so a busy machine weighs on all three alike. Cold: a fresh engine, initialisation
    // included, as the one-shot command pays it; warm: the process's one engine, already initialised.
    std::vector<double> cold;
    std::vector<double> warm;
    std::vector<double> command;
    std::string moduleText;
    std::string commandText;
    std::string languages;
    ulvo::recognizeText(image.string(), language);
    for (int i = 0; i < runs; ++i) {
        {
            ulvo::TesseractRecognizer recognizer;
            const auto start = Clock::now();
            moduleText = recognizer.recognizeText(image.string(), language);
            cold.push_back(seconds(start));
            languages = recognizer.languages();
        }
        auto start = Clock::now();
        commandText = ulvo::test::runToEnd({"/usr/bin/tesseract", image.string(), "stdout", "-l", languages})
                          .standardOutput;
        command.push_back(seconds(start));
        start = Clock::now();
        ulvo::recognizeText(image.string(), language);
        warm.push_back(seconds(start));
    }
    std::filesystem::remove(image);

    const double moduleCold = ulvo::bench::quantile(cold, 0.5);
    const double commandTime = ulvo::bench::quantile(command, 0.5);
    const std::vector<std::string> moduleLines = sortedLines(moduleText);
    const std::vector<std::string> commandLines = sortedLines(commandText);
    std::size_t shared = 0;
    std::vector<std::string> common;
    std::set_intersection(moduleLines.begin(), moduleLines.end(), commandLines.begin(), commandLines.end(),
                          std::back_inserter(common));
    shared = common.size();

    std::cout << std::fixed << std::setprecision(3);
    std::cout << "machine: " << ulvo::bench::machineDescription() << "\n";
    std::cout << "recognition_languages: " << languages << "\n";
    std::cout << "recognition_module_cold_1920x1080: " << moduleCold * 1000 << " ms\n";
    std::cout << "recognition_module_warm_1920x1080: " << ulvo::bench::quantile(warm, 0.5) * 1000 << " ms\n";
    std::cout << "recognition_tesseract_command_1920x1080: " << commandTime * 1000 << " ms\n";
    std::cout << "recognition_module_cold_over_command: " << moduleCold / commandTime << " x\n";
    std::cout << "recognition_lines_module: " << moduleLines.size() << " lines\n";
    std::cout << "recognition_lines_command: " << commandLines.size() << " lines\n";
    std::cout << "recognition_lines_identical: " << shared << " lines\n";
    return 0;
}
