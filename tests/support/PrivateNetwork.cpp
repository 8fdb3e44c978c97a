#include "tests/support/PrivateNetwork.h"
#include "platform/linux/FileDescriptor.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ulvo::test {

namespace {

bool writeFile(const char* path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    return static_cast<bool>(file.flush());
}

std::string bringLoopbackUp() {
    const FileDescriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(socket.get(), SIOCGIFFLAGS, &request) != 0) {
        return std::string("SIOCGIFFLAGS: ") + std::strerror(errno);
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    if (::ioctl(socket.get(), SIOCSIFFLAGS, &request) != 0) {
        return std::string("SIOCSIFFLAGS: ") + std::strerror(errno);
    }
    return {};
}

} // namespace

std::string enterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) {
        // Without root, a user namespace grants the right to make the network namespace.
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            return std::string("unshare: ") + std::strerror(errno);
        }
        writeFile("/proc/self/setgroups", "deny");
        if (!writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n") ||
            !writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n")) {
            return "cannot map the user into the namespace";
        }
    }
    return bringLoopbackUp();
}

} // namespace ulvo::test
