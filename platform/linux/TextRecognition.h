#pragma once

#include "recognition/ReadingOrder.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

// Image text recognition on Tesseract, with Leptonica loading the image. One engine is initialised
// on first use and reused for every later image; a call is serialised with the others on the engine.
class TesseractRecognizer {
public:
    TesseractRecognizer();
    ~TesseractRecognizer();
    TesseractRecognizer(const TesseractRecognizer&) = delete;
    TesseractRecognizer& operator=(const TesseractRecognizer&) = delete;

    // The text lines of the image with their boxes in normalised coordinates; nothing when
    // the image cannot be loaded, the language data is missing or recognition fails.
    // languageTag is the user's language, recognised besides English when its data is installed.
    std::optional<std::vector<TextObservation>> observe(const std::filesystem::path& image,
                                                        const std::string& languageTag);

    // The lines in reading order joined by line feeds; empty for every failure.
    std::string recognizeText(const std::filesystem::path& image, const std::string& languageTag);

    // The Tesseract languages the engine was last initialised with ("eng+deu"); empty before.
    std::string languages() const;

private:
    struct Engine;
    bool prepare(const std::string& languageTag);

    mutable std::mutex mutex_;
    std::unique_ptr<Engine> engine_;
    std::optional<std::string> preparedTag_;
};

// The process's one recognizer.
TesseractRecognizer& sharedRecognizer();

// recognizeText on the process's one recognizer.
std::string recognizeText(const std::filesystem::path& image, const std::string& languageTag);

} // namespace ulvo
