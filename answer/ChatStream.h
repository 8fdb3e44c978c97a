#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ulvo {

// Reads a chat-completions reply as server-sent events arrive: "data:" lines carrying
// choices[0].delta.content, then "data: [DONE]". Lines may end in CRLF, comments (":") keep the
// connection alive, a chunk may end anywhere (inside a line, or inside a UTF-8 sequence), and a
// provider may put an error object in the stream.
class ChatStreamParser {
public:
    // Takes the next bytes; returns whether the answer's text grew, or the model began to reason.
    bool feed(std::string_view bytes);

    // The answer so far, whole UTF-8 sequences only (the server's JSON strings carry whole characters).
    const std::string& text() const { return text_; }
    // Whether any event came: a body without one is a plain JSON reply, read as such.
    bool sawEvent() const { return sawEvent_; }
    // The provider's error object inside the stream, as sent.
    const std::optional<std::string>& providerError() const { return providerError_; }
    // A data line that is not JSON of the expected shape.
    bool malformed() const { return malformed_; }
    // "[DONE]", or a choice's finish_reason: the answer is complete once the body ends.
    bool complete() const { return done_ || !finishReason_.empty(); }
    // The first choice's finish_reason ("stop", "length", "content_filter", ...), once it came.
    const std::string& finishReason() const { return finishReason_; }
    // Reasoning deltas ("reasoning_content", "reasoning") came; their text is never the answer.
    bool reasoned() const { return reasoned_; }

private:
    void line(std::string_view line);
    void data(std::string_view payload);

    std::string pending_; // an unfinished line
    std::string event_;   // data lines of the event being read (a multi-line event joins them)
    std::string text_;
    std::optional<std::string> providerError_;
    bool sawEvent_ = false;
    bool malformed_ = false;
    bool done_ = false;
    std::string finishReason_;
    bool reasoned_ = false;
    bool grew_ = false;
};

} // namespace ulvo
