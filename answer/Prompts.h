#pragma once

#include "answer/Level.h"

#include <string>
#include <string_view>
#include <vector>

namespace ulvo {

// System prompt of a first explanation for the level's band, naming the response language.
std::string systemPrompt(Level level, std::string_view language);

// System prompt of a follow-up question, embedding the selected text.
std::string followupPrompt(std::string_view text, Level level, std::string_view language);

// The response language tag: the first preferred language (or, when there is none, the current
// locale identifier) reduced to letters, marks, numbers and hyphen-minus, at most 35 characters.
std::string preferredResponseLanguage(const std::vector<std::string>& preferredLanguages,
                                      std::string_view currentLocaleIdentifier);

} // namespace ulvo
