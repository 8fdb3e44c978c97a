#pragma once

#include <sys/types.h>

#include <filesystem>
#include <vector>

namespace ulvo {

// The owners (user ids) of the sockets that listen on 127.0.0.1:port, as the kernel lists them in
// /proc/net/tcp and tcp6 (addresses that cover 127.0.0.1: itself, any, and its IPv6-mapped form).
// Empty when nothing listens there. procNet: another folder with the same files, for tests.
std::vector<uid_t> loopbackListenerOwners(int port, const std::filesystem::path& procNet = "/proc/self/net");

// Whether something listens on 127.0.0.1:port and all of it belongs to this process's user.
bool loopbackPortIsUsers(int port);

} // namespace ulvo
