#include "base/Url.h"

#include <algorithm>
#include <cctype>
#include <string>

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

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// The host of an authority ("user@host:port"): after any user information, without the port.
std::string_view hostOf(std::string_view authority) {
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        return close == std::string_view::npos ? std::string_view() : authority.substr(0, close + 1);
    }
    return authority.substr(0, authority.find(':'));
}

bool isLoopbackHost(std::string_view host) {
    if (host == "[::1]" || (host.size() == 9 && startsWithNoCase(host, "localhost"))) {
        return true;
    }
    // 127.0.0.0/8 written as four decimal parts.
    if (!startsWithNoCase(host, "127.")) {
        return false;
    }
    int parts = 0;
    std::size_t at = 0;
    while (at <= host.size()) {
        const std::size_t end = std::min(host.find('.', at), host.size());
        const std::string_view part = host.substr(at, end - at);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(),
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) ||
            std::stoi(std::string(part)) > 255) {
            return false;
        }
        ++parts;
        at = end + 1;
    }
    return parts == 4;
}

} // namespace

bool isPrivateProviderAddress(std::string_view url) {
    const bool secure = startsWithNoCase(url, "https://");
    if (!secure && !startsWithNoCase(url, "http://")) {
        return false;
    }
    url.remove_prefix(secure ? 8 : 7);
    const std::string_view host = hostOf(url.substr(0, url.find_first_of("/?#")));
    if (host.empty()) {
        return false;
    }
    return secure || isLoopbackHost(host);
}

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
