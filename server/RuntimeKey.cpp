#include "server/RuntimeKey.h"

#include "base/UserFolders.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ulvo {

namespace {

constexpr std::size_t keyBytes = 16;

bool isKey(const std::string& text) {
    return text.size() == keyBytes * 2 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// The key in `path`, only from a regular file that only this user can read.
std::string readKey(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0) {
        return {};
    }
    struct stat status {};
    std::array<char, keyBytes * 2 + 2> buffer{};
    ssize_t count = -1;
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid() &&
        (status.st_mode & 077) == 0) {
        count = ::read(descriptor, buffer.data(), buffer.size());
    }
    ::close(descriptor);
    std::string text(buffer.data(), count > 0 ? static_cast<std::size_t>(count) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return isKey(text) ? text : std::string();
}

Result<std::string> freshKey() {
    std::array<unsigned char, keyBytes> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return Failure{"The built-in model's key could not be made."};
        }
        filled += static_cast<std::size_t>(count);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string key;
    for (const unsigned char byte : bytes) {
        key += digits[byte >> 4];
        key += digits[byte & 0xf];
    }
    return key;
}

} // namespace

std::filesystem::path RuntimeKey::userFolder() {
    return userConfigHome() / "ulvo";
}

Result<std::string> RuntimeKey::ofUser(const std::filesystem::path& folder) {
    const std::filesystem::path path = folder / fileName;
    if (std::string key = readKey(path); !key.empty()) {
        return key;
    }
    const std::string failed = "The built-in model's key could not be kept in " + folder.string() + ".";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    // Made before the file is opened, so nothing fails while it is: no descriptor or file is left.
    const Result<std::string> key = freshKey();
    if (!key) {
        return key;
    }
    const std::string line = *key + "\n";
    // Written whole under a temporary name, then put in place: a reader never sees half a key.
    std::string pattern = (folder / ".runtime-key.XXXXXX").string();
    const int descriptor = ::mkostemp(pattern.data(), O_CLOEXEC); // mode 0600
    if (descriptor < 0) {
        return Failure{failed};
    }
    const bool written = ::write(descriptor, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                         ::fsync(descriptor) == 0;
    ::close(descriptor);
    // link() keeps a key another process put in place first; a file there that holds no key is replaced.
    bool placed = written && ::link(pattern.c_str(), path.c_str()) == 0;
    if (written && !placed && errno == EEXIST) {
        if (std::string theirs = readKey(path); !theirs.empty()) {
            ::unlink(pattern.c_str());
            return theirs;
        }
        placed = ::rename(pattern.c_str(), path.c_str()) == 0;
    }
    ::unlink(pattern.c_str());
    if (!placed) {
        return Failure{failed};
    }
    return key;
}

Result<std::string> RuntimeKey::decoy() {
    return freshKey();
}

} // namespace ulvo
