#include "capture/SelectionReader.h"

#include "base/Text.h"

#include <algorithm>
#include <string_view>

namespace ulvo {

namespace {

// U+FFFC OBJECT REPLACEMENT CHARACTER in UTF-8.
constexpr std::string_view objectReplacement = "\xEF\xBF\xBC";
// Documents nest sections, paragraphs, links and text runs; deeper than this is a cycle.
constexpr int maximumDepth = 16;

std::size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    return (lead & 0xF8) == 0xF0 ? 4 : 1;
}

Rect united(const Rect& a, const Rect& b) {
    const double minX = std::min(a.minX(), b.minX());
    const double minY = std::min(a.y, b.y);
    return Rect{minX, minY, std::max(a.maxX(), b.maxX()) - minX, std::max(a.maxY(), b.maxY()) - minY};
}

// Gathers the selected text of a hypertext element and the rectangles of its first and last runs of
// plain characters (two queries, however long the selection).
class HypertextReader {
public:
    bool read(AccessibleText& element, TextRange range, int depth) {
        const std::optional<std::string> characters = element.text(range);
        return characters && read(element, range.start, *characters, depth);
    }

    // The characters of the element from an offset on.
    bool read(AccessibleText& element, int offset, const std::string& chars, int depth) {
        std::optional<TextRange> run;
        for (std::size_t at = 0; at < chars.size(); ++offset) {
            const std::size_t length =
                std::min(sequenceLength(static_cast<unsigned char>(chars[at])), chars.size() - at);
            const std::string_view character(chars.data() + at, length);
            at += length;
            if (character != objectReplacement) {
                text_.append(character);
                run = run ? TextRange{run->start, offset + 1} : TextRange{offset, offset + 1};
                continue;
            }
            if (run) {
                extend(element, *run);
                run.reset();
            }
            if (depth >= maximumDepth || !readEmbedded(element, offset, depth)) {
                return false;
            }
        }
        if (run) {
            extend(element, *run);
        }
        return true;
    }

    std::string text() const { return text_; }
    std::optional<Rect> bounds() const {
        if (!first_) {
            return std::nullopt;
        }
        return last_ ? united(*first_, *last_) : first_;
    }

private:
    // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a character offset, then the nesting depth
    bool readEmbedded(AccessibleText& parent, int offset, int depth) {
        const std::unique_ptr<AccessibleText> child = parent.embeddedAt(offset);
        if (!child) {
            return false;
        }
        // A child wholly inside the selection may report none of its own.
        std::optional<TextRange> range = child->selectedRange();
        if (!range || range->end < range->start) {
            const std::optional<int> count = child->characterCount();
            if (!count) {
                return false;
            }
            range = TextRange{0, *count};
        }
        const bool block = child->isBlock();
        if (block) {
            breakLine();
        }
        if (!read(*child, *range, depth + 1)) {
            return false;
        }
        if (block) {
            breakLine();
        }
        return true;
    }

    void breakLine() {
        if (!text_.empty() && text_.back() != '\n') {
            text_.push_back('\n');
        }
    }

    void extend(AccessibleText& element, TextRange run) {
        if (const std::optional<Rect> extents = element.rangeExtents(run);
            extents && extents->width > 0 && extents->height > 0) {
            (first_ ? last_ : first_) = extents;
        }
    }

    std::string text_;
    std::optional<Rect> first_;
    std::optional<Rect> last_;
};

} // namespace

SelectionResult globalSelection(FocusedText& focused) {
    SelectionResult result;
    if (!focused.focus()) {
        return result;
    }
    const std::optional<TextRange> range = focused.selectedRange();
    if (!range || range->end < range->start) {
        return result;
    }
    const std::optional<std::string> text = focused.text(*range);
    if (text && text->find(objectReplacement) != std::string::npos) {
        HypertextReader reader;
        if (reader.read(focused, range->start, *text, 0)) {
            result.text = trimmedWhitespaceAndNewlines(reader.text());
            result.bounds = reader.bounds();
        }
        return result;
    }
    if (text) {
        result.text = trimmedWhitespaceAndNewlines(*text);
    }
    result.bounds = focused.rangeExtents(*range);
    return result;
}

} // namespace ulvo
