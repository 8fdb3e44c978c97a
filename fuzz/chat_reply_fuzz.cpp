// The chat reply readers: the event stream cut at any point, and a plain JSON body.
#include "answer/ChatRequest.h"
#include "answer/ChatStream.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    ulvo::ChatStreamParser whole;
    whole.feed(bytes);
    // The same bytes in two pieces must read the same: pieces end anywhere, inside characters too.
    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    ulvo::ChatStreamParser pieces;
    pieces.feed(bytes.substr(0, cut));
    pieces.feed(bytes.substr(cut));
    if (whole.text() != pieces.text() || whole.complete() != pieces.complete() ||
        whole.malformed() != pieces.malformed()) {
        __builtin_trap();
    }
    try {
        (void)ulvo::chatContent(std::string(bytes));
    } catch (const nlohmann::json::exception&) {
        // Not JSON: the caller turns this into the route's unreadable-answer message.
    }
    return 0;
}
