#pragma once

#include <string>
#include <string_view>

namespace ulvo {

// A reasoning model's answer without its monologue: every "<think>…</think>" block, a block that never
// closes (to the end), and everything before a closing tag without an opening one (a chat template
// that opened the block in the prompt).
struct ThoughtSplit {
    std::string answer;
    bool thought = false;  // a block was there
    bool unclosed = false; // the text ends inside one
};

// partial: the text is still arriving, so a trailing start of a tag ("<thi") is held back too.
ThoughtSplit withoutThinking(std::string_view text, bool partial = false);

} // namespace ulvo
