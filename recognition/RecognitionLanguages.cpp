#include "recognition/RecognitionLanguages.h"

#include <unicode/locid.h>

#include <string_view>

namespace ulvo {

std::string tesseractLanguageCode(const std::string& languageTag) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale locale = icu::Locale::forLanguageTag(languageTag, status);
    if (U_FAILURE(status) || locale.isBogus() || std::string_view(locale.getLanguage()).empty()) {
        return {};
    }
    const std::string_view language = locale.getLanguage();
    const std::string_view script = locale.getScript();
    const std::string_view region = locale.getCountry();
    // Tesseract names its data by ISO 639-2/T codes, except where a language is split by script.
    if (language == "zh") {
        const bool traditional =
            script == "Hant" || (script.empty() && (region == "TW" || region == "HK" || region == "MO"));
        return traditional ? "chi_tra" : "chi_sim";
    }
    if (language == "sr" && script == "Latn") {
        return "srp_latn";
    }
    if (language == "uz" && script == "Cyrl") {
        return "uzb_cyrl";
    }
    if (language == "az" && script == "Cyrl") {
        return "aze_cyrl";
    }
    if (language == "nb" || language == "nn" || language == "no") {
        return "nor";
    }
    return locale.getISO3Language();
}

std::string tesseractLanguages(const std::string& languageTag,
                               const std::function<bool(const std::string& code)>& isInstalled) {
    const std::string user = tesseractLanguageCode(languageTag);
    if (user.empty() || user == "eng" || !isInstalled(user)) {
        return "eng";
    }
    return "eng+" + user;
}

} // namespace ulvo
