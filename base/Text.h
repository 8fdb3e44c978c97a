#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace ulvo {

// The text with Unicode white space and line breaks removed from both ends; invalid UTF-8 is kept as is.
std::string trimmedWhitespaceAndNewlines(std::string_view text);

// Whether the text holds nothing but Unicode white space.
bool isBlank(std::string_view text);

// Whether the bytes are well-formed UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// The bytes with every ill-formed sequence replaced by U+FFFD, one per maximal ill-formed subpart
// (the replacement practice browsers and ICU share); well-formed text is returned unchanged.
std::string repairedUtf8(std::string_view bytes);

// Whether a colon-separated list (as desktop entries and XDG_CURRENT_DESKTOP write them) holds the name.
bool colonListHas(std::string_view list, std::string_view name);

// A value as a script literal that cannot end the script it is placed in: JSON with every non-ASCII
// character escaped (so U+2028 and U+2029 stay escapes), invalid UTF-8 replaced by U+FFFD, and "</"
// written "<\/" so the text stays inert even inside a <script> element.
std::string scriptLiteral(const nlohmann::json& value);

} // namespace ulvo
