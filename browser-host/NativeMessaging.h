#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ulvo::host {

// The browsers' native-messaging framing: a 32-bit length in native byte order, then that many bytes of
// UTF-8 JSON. Chromium refuses replies over 1 MB; requests are held to the same bound here.
inline constexpr std::size_t maxRequestBytes = std::size_t{1024} * 1024;
inline constexpr std::size_t maxReplyBytes = std::size_t{1024} * 1024;

enum class FrameStatus {
    message,   // payload holds one complete message
    closed,    // the browser closed the pipe between messages
    truncated, // the pipe closed inside a frame
    tooLong,   // the declared length exceeds the limit; its bytes are skipped before the next frame
};

struct Frame {
    FrameStatus status = FrameStatus::closed;
    std::string payload;
    std::uint32_t declaredLength = 0;
};

// Reads frames from a descriptor it does not own.
class FrameReader {
public:
    // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a descriptor, then a byte count
    explicit FrameReader(int fd, std::size_t limit = maxRequestBytes)
        : fd_(fd)
        , limit_(limit) {}

    // Blocks until a whole frame, the end of input or a read error (treated as the end).
    Frame next();

private:
    enum class Fill { full, empty, partial };
    Fill readFully(char* data, std::size_t size);
    bool skip(std::uint64_t size);

    int fd_;
    std::size_t limit_;
    std::uint64_t pendingSkip_ = 0;
};

std::string encodeFrame(std::string_view payload);
// Writes one whole frame; false when the pipe is gone.
bool writeFrame(int fd, std::string_view payload);

} // namespace ulvo::host
