#pragma once

#include <string_view>

namespace ulvo {

// Whether the text is a well-formed URL reference (absolute or relative): no spaces, no control
// characters, none of the characters a URL must escape, and complete percent escapes.
bool isParsableUrl(std::string_view text);

} // namespace ulvo
