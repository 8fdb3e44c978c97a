#include "card/BridgeText.h"

#include <cstdint>

namespace ulvo {

namespace {

// The characters of Unicode's White_Space property.
bool isWhiteSpace(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Decodes the well-formed sequence starting at `at`, or returns 0 bytes for anything else.
std::size_t decode(std::string_view text, std::size_t at, std::uint32_t& out) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    if (lead < 0x80) {
        out = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        out = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        out = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        out = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        out = (out << 6) | (byte(at + i) & 0x3F);
    }
    return length;
}

// Length of the well-formed sequence ending just before `end`, or 0.
std::size_t decodeBackwards(std::string_view text, std::size_t end, std::uint32_t& out) {
    for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
        if (decode(text, end - length, out) == length) {
            return length;
        }
    }
    return 0;
}

} // namespace

std::string trimmedWhitespaceAndNewlines(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    std::uint32_t c = 0;
    while (begin < end) {
        const std::size_t length = decode(text, begin, c);
        if (length == 0 || !isWhiteSpace(c)) {
            break;
        }
        begin += length;
    }
    while (end > begin) {
        const std::size_t length = decodeBackwards(text.substr(0, end), end, c);
        if (length == 0 || !isWhiteSpace(c)) {
            break;
        }
        end -= length;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string scriptLiteral(const nlohmann::json& value) {
    const std::string json = value.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    std::string safe;
    safe.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        safe += json[i];
        if (json[i] == '<' && i + 1 < json.size() && json[i + 1] == '/') {
            safe += '\\';
        }
    }
    return safe;
}

} // namespace ulvo
