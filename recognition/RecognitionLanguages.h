#pragma once

#include <functional>
#include <string>

namespace ulvo {

// Tesseract's name of the trained data for a language tag ("de-AT" gives "deu", "zh-TW" "chi_tra");
// empty when the tag names no language.
std::string tesseractLanguageCode(const std::string& languageTag);

// English always, plus the user's language when its trained data is installed: "eng" or "eng+deu".
std::string tesseractLanguages(const std::string& languageTag,
                               const std::function<bool(const std::string& code)>& isInstalled);

} // namespace ulvo
