#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace ulvo {

// The text with Unicode white space and line breaks removed from both ends; invalid UTF-8 is kept as is.
std::string trimmedWhitespaceAndNewlines(std::string_view text);

// A value as a script literal that cannot end the script it is placed in: JSON with every non-ASCII
// character escaped (so U+2028 and U+2029 stay escapes), invalid UTF-8 replaced by U+FFFD, and "</"
// written "<\/" so the text stays inert even inside a <script> element.
std::string scriptLiteral(const nlohmann::json& value);

} // namespace ulvo
