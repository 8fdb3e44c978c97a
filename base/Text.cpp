#include "base/Text.h"

#include <algorithm>
#include <cstdint>

namespace ulvo {

namespace {

// The characters of Unicode's White_Space property.
bool isWhiteSpace(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

struct Decoded {
    std::size_t length = 0; // of the sequence, or of the maximal ill-formed subpart (at least 1)
    bool valid = false;
    std::uint32_t code = 0;
};

// The sequence starting at `at`, by the table of well-formed UTF-8 byte sequences.
Decoded decodeAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return {1, true, lead};
    }
    std::size_t trailing = 0;
    std::uint32_t code = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        code = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : low;   // no overlong forms
        high = lead == 0xED ? 0x9F : high; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        code = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high; // nothing past U+10FFFF
    } else {
        return {1, false, 0};
    }
    for (std::size_t i = 1; i <= trailing; ++i) {
        if (at + i >= text.size()) {
            return {i, false, 0};
        }
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (byte < low || byte > high) {
            return {i, false, 0};
        }
        low = 0x80;
        high = 0xBF;
        code = (code << 6) | (byte & 0x3Fu);
    }
    return {trailing + 1, true, code};
}

// The well-formed sequence ending just before `end`, if there is one.
Decoded decodeBefore(std::string_view text, std::size_t end) {
    for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
        const Decoded decoded = decodeAt(text.substr(0, end), end - length);
        if (decoded.valid && decoded.length == length) {
            return decoded;
        }
    }
    return {};
}

} // namespace

std::string trimmedWhitespaceAndNewlines(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end) {
        const Decoded decoded = decodeAt(text, begin);
        if (!decoded.valid || !isWhiteSpace(decoded.code)) {
            break;
        }
        begin += decoded.length;
    }
    while (end > begin) {
        const Decoded decoded = decodeBefore(text, end);
        if (!decoded.valid || !isWhiteSpace(decoded.code)) {
            break;
        }
        end -= decoded.length;
    }
    return std::string(text.substr(begin, end - begin));
}

bool colonListHas(std::string_view list, std::string_view name) {
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        if (list.substr(start, end - start) == name) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool isBlank(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const Decoded decoded = decodeAt(text, at);
        if (!decoded.valid || !isWhiteSpace(decoded.code)) {
            return false;
        }
        at += decoded.length;
    }
    return true;
}

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const Decoded decoded = decodeAt(bytes, at);
        if (!decoded.valid) {
            return false;
        }
        at += decoded.length;
    }
    return true;
}

std::string repairedUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const Decoded decoded = decodeAt(bytes, at);
        if (decoded.valid) {
            text.append(bytes.substr(at, decoded.length));
        } else {
            text.append("\xEF\xBF\xBD");
        }
        at += decoded.length;
    }
    return text;
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
