// The card page's messages, and the script literals the native side writes into the page.
#include "base/Text.h"
#include "card/CardBridge.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const nlohmann::json body = nlohmann::json::parse(text, nullptr, false);
    if (!body.is_discarded()) {
        (void)ulvo::parseCardMessage(body);
    }
    // Any text, valid UTF-8 or not, becomes a literal that stays one inert script expression.
    const std::string literal = ulvo::scriptLiteral(nlohmann::json{{"text", text}});
    const bool ascii =
        std::all_of(literal.begin(), literal.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    if (!ascii || literal.find("</") != std::string::npos || !nlohmann::json::accept(literal)) {
        __builtin_trap();
    }
    return 0;
}
