#pragma once

#include <unistd.h>

namespace ulvo {

// Owns one POSIX file descriptor and closes it when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1)
        : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    void reset() { static_cast<void>(close()); }
    // Closes the one held now, then holds fd.
    void adopt(int fd) {
        reset();
        fd_ = fd;
    }
    // Closes now and reports whether the close succeeded (a failed close can mean lost data).
    bool close() {
        if (fd_ < 0) {
            return true;
        }
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

} // namespace ulvo
