#include "answer/ThinkBlocks.h"

namespace ulvo {

namespace {

constexpr std::string_view openTag = "<think>";
constexpr std::string_view closeTag = "</think>";

} // namespace

ThoughtSplit withoutThinking(std::string_view text, bool partial) {
    ThoughtSplit split;
    const std::size_t firstOpen = text.find(openTag);
    if (const std::size_t close = text.find(closeTag); close != std::string_view::npos && close < firstOpen) {
        text.remove_prefix(close + closeTag.size());
        split.thought = true;
    }
    std::string& out = split.answer;
    while (!text.empty()) {
        const std::size_t open = text.find(openTag);
        if (open == std::string_view::npos) {
            out.append(text);
            break;
        }
        out.append(text.substr(0, open));
        split.thought = true;
        const std::size_t close = text.find(closeTag, open + openTag.size());
        if (close == std::string_view::npos) {
            split.unclosed = true;
            break;
        }
        text.remove_prefix(close + closeTag.size());
    }
    if (partial && !split.unclosed) {
        for (std::size_t length = std::min(out.size(), openTag.size() - 1); length > 0; --length) {
            if (std::string_view(out).substr(out.size() - length) == openTag.substr(0, length)) {
                out.resize(out.size() - length);
                break;
            }
        }
    }
    return split;
}

} // namespace ulvo
