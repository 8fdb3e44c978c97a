#include "browser-host/NativeMessaging.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace ulvo::host {

FrameReader::Fill FrameReader::readFully(char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = ::read(fd_, data + done, size - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return done == 0 ? Fill::empty : Fill::partial;
        }
        done += static_cast<std::size_t>(count);
    }
    return Fill::full;
}

bool FrameReader::skip(std::uint64_t size) {
    std::array<char, 65536> sink{};
    while (size > 0) {
        const std::size_t chunk = size < sink.size() ? static_cast<std::size_t>(size) : sink.size();
        if (readFully(sink.data(), chunk) != Fill::full) {
            return false;
        }
        size -= chunk;
    }
    return true;
}

Frame FrameReader::next() {
    Frame frame;
    if (pendingSkip_ > 0) {
        const std::uint64_t size = pendingSkip_;
        pendingSkip_ = 0;
        if (!skip(size)) {
            return frame; // the oversized message was already answered; nothing more will come
        }
    }
    std::array<char, sizeof(std::uint32_t)> header{};
    switch (readFully(header.data(), header.size())) {
    case Fill::empty:
        return frame;
    case Fill::partial:
        frame.status = FrameStatus::truncated;
        return frame;
    case Fill::full:
        break;
    }
    std::memcpy(&frame.declaredLength, header.data(), header.size());
    if (frame.declaredLength > limit_) {
        // Answer at once and skip the bytes afterwards: a sender waiting for the reply must not hang.
        pendingSkip_ = frame.declaredLength;
        frame.status = FrameStatus::tooLong;
        return frame;
    }
    frame.payload.resize(frame.declaredLength);
    if (frame.declaredLength > 0 && readFully(frame.payload.data(), frame.payload.size()) != Fill::full) {
        frame.payload.clear();
        frame.status = FrameStatus::truncated;
        return frame;
    }
    frame.status = FrameStatus::message;
    return frame;
}

std::string encodeFrame(std::string_view payload) {
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::string frame(sizeof(length), '\0');
    std::memcpy(frame.data(), &length, sizeof(length));
    frame.append(payload);
    return frame;
}

bool writeFrame(int fd, std::string_view payload) {
    const std::string frame = encodeFrame(payload);
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t count = ::write(fd, frame.data() + done, frame.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

} // namespace ulvo::host
