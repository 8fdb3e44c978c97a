#include "model/Url.h"

#include <cctype>

namespace ulvo {

namespace {

bool isHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool isForbidden(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) {
        return true;
    }
    constexpr std::string_view mustEscape = "\"<>\\^`{|}";
    return mustEscape.find(c) != std::string_view::npos;
}

} // namespace

bool isParsableUrl(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isForbidden(text[i])) {
            return false;
        }
        if (text[i] == '%' &&
            (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2]))) {
            return false;
        }
    }
    return true;
}

} // namespace ulvo
