#pragma once

#include "answer/Level.h"

#include <string>
#include <string_view>

namespace ulvo {

// Repairs a model's answer for the card: Markdown marks, grunts, filler, announcing labels,
// dashes, and the length or telegraphic form of the two lowest bands. Pure and re-entrant.
std::string clean(std::string_view text, Level level);

// The same repairs for an answer still arriving, for display only: no telegraphic rebuild or length
// cut (they need the whole answer), and a mark whose other half has not arrived is held back.
std::string cleanPartial(std::string_view text, Level level);

// cleanPartial for a text that only grows, paragraph by paragraph: a paragraph is cleaned once, when the
// next one begins, so a long answer costs the length of its last paragraph per update, not its whole.
class PartialCleaner {
public:
    explicit PartialCleaner(Level level)
        : level_(level) {}
    // `text` must extend the text of the previous call (else all is cleaned afresh).
    std::string operator()(std::string_view text);

private:
    Level level_;
    std::string settledSource_; // the paragraphs already cleaned, as they came
    std::string settled_;       // and as they are shown
};

// Short capitalised fragments of content words, never spanning two sentences.
std::string toTelegraphic(std::string_view text, int maxFragments, int wordsPerFragment);

} // namespace ulvo
