#include "platform/linux/TextRecognition.h"

#include "recognition/RecognitionLanguages.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <filesystem>
#include <system_error>

namespace ulvo {

namespace {

struct PixDeleter {
    void operator()(Pix* pix) const { pixDestroy(&pix); }
};
using PixHandle = std::unique_ptr<Pix, PixDeleter>;

struct TextDeleter {
    void operator()(char* text) const { delete[] text; }
};
using TesseractText = std::unique_ptr<char, TextDeleter>;

// Tesseract's line text ends in its own line separators; they are not part of what was read.
std::string lineText(const char* text) {
    std::string line(text);
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    return line;
}

} // namespace

struct TesseractRecognizer::Engine {
    tesseract::TessBaseAPI api;
    std::string languages;
    bool ready = false;

    bool init(const std::string& names) {
        // Diagnostics go to the null device: the companion tool must keep its error output empty.
        const std::vector<std::string> variables{"debug_file"};
        const std::vector<std::string> values{"/dev/null"};
        ready = api.Init(nullptr, names.c_str(), tesseract::OEM_DEFAULT, nullptr, 0, &variables, &values,
                         false) == 0;
        // Full page layout analysis, as the tesseract command does; the library's default takes the
        // page as one block and runs columns together.
        api.SetPageSegMode(tesseract::PSM_AUTO);
        languages = ready ? names : std::string();
        return ready;
    }
};

TesseractRecognizer::TesseractRecognizer()
    : engine_(std::make_unique<Engine>()) {
    setMsgSeverity(L_SEVERITY_NONE); // Leptonica reports unreadable files on stderr otherwise
}

TesseractRecognizer::~TesseractRecognizer() = default;

bool TesseractRecognizer::prepare(const std::string& languageTag) {
    if (engine_->ready && preparedTag_ == languageTag) {
        return true;
    }
    preparedTag_.reset();
    // English first: it must be there, and it tells where the trained data lives.
    if (!engine_->init("eng")) {
        return false;
    }
    const std::filesystem::path dataPath = engine_->api.GetDatapath();
    const std::string names = tesseractLanguages(languageTag, [&](const std::string& code) {
        std::error_code error;
        return std::filesystem::is_regular_file(dataPath / (code + ".traineddata"), error);
    });
    if (names != "eng" && !engine_->init(names) && !engine_->init("eng")) {
        return false;
    }
    preparedTag_ = languageTag;
    return true;
}

std::optional<std::vector<TextObservation>> TesseractRecognizer::observe(const std::filesystem::path& image,
                                                                         const std::string& languageTag) {
    const PixHandle pix(pixRead(image.c_str()));
    if (!pix) {
        return std::nullopt; // not an image: the engine is not started
    }
    const int width = static_cast<int>(pixGetWidth(pix.get()));
    const int height = static_cast<int>(pixGetHeight(pix.get()));
    if (width <= 0 || height <= 0) {
        return std::nullopt;
    }

    const std::lock_guard lock(mutex_);
    if (!prepare(languageTag)) {
        return std::nullopt;
    }
    tesseract::TessBaseAPI& api = engine_->api;
    api.SetImage(pix.get());
    std::optional<std::vector<TextObservation>> observations;
    if (api.Recognize(nullptr) == 0) {
        observations.emplace();
        const std::unique_ptr<tesseract::ResultIterator> line(api.GetIterator());
        if (line && !line->Empty(tesseract::RIL_TEXTLINE)) {
            do {
                int left = 0;
                int top = 0;
                int right = 0;
                int bottom = 0;
                if (!line->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) {
                    continue;
                }
                // Pixel rows count down from the top; normalised y counts up from the bottom.
                TextObservation observation;
                observation.boundingBox = {
                    static_cast<double>(left) / width, static_cast<double>(height - bottom) / height,
                    static_cast<double>(right - left) / width, static_cast<double>(bottom - top) / height};
                if (const TesseractText text(line->GetUTF8Text(tesseract::RIL_TEXTLINE)); text) {
                    observation.bestCandidate = lineText(text.get());
                }
                observations->push_back(std::move(observation));
            } while (line->Next(tesseract::RIL_TEXTLINE));
        }
    }
    api.Clear(); // drops the image and its results; the loaded languages stay
    return observations;
}

std::string TesseractRecognizer::recognizeText(const std::filesystem::path& image,
                                               const std::string& languageTag) {
    std::optional<std::vector<TextObservation>> observations = observe(image, languageTag);
    return observations ? joinInReadingOrder(std::move(*observations)) : std::string();
}

std::string TesseractRecognizer::languages() const {
    const std::lock_guard lock(mutex_);
    return engine_->languages;
}

TesseractRecognizer& sharedRecognizer() {
    static TesseractRecognizer recognizer; // thread-safe initialisation; the engine itself starts lazily
    return recognizer;
}

std::string recognizeText(const std::filesystem::path& image, const std::string& languageTag) {
    return sharedRecognizer().recognizeText(image, languageTag);
}

} // namespace ulvo
