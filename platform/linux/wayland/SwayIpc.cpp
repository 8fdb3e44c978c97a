#include "platform/linux/wayland/SwayIpc.h"

#include "platform/linux/FileDescriptor.h"

#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ulvo::wayland {

namespace {

constexpr char magic[] = "i3-ipc";
constexpr std::size_t magicSize = sizeof(magic) - 1;
constexpr std::size_t headerSize = magicSize + 2 * sizeof(std::uint32_t);
constexpr std::uint32_t getTree = 4;
// A tree is a few kB per window; anything far larger is not a reply to trust.
constexpr std::uint32_t largestReply = 64U << 20U;

// Reads exactly size bytes unless the deadline passes or the peer closes.
bool readFully(int fd, char* data, std::size_t size, std::chrono::steady_clock::time_point deadline) {
    while (size > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd wait{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0) {
            return false;
        }
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool isWindow(const nlohmann::json& node) {
    // Workspaces and outputs can hold the focus too; only a node with a program behind it is a window.
    return node.value("type", "") == "con" || node.value("type", "") == "floating_con";
}

std::optional<FocusedWindow> windowOf(const nlohmann::json& node) {
    const nlohmann::json& rect = node.at("rect");
    const nlohmann::json& inner = node.at("window_rect");
    FocusedWindow window;
    window.pid = node.value("pid", 0L);
    window.content = Rect{rect.at("x").get<double>() + inner.at("x").get<double>(),
                          rect.at("y").get<double>() + inner.at("y").get<double>(),
                          inner.at("width").get<double>(), inner.at("height").get<double>()};
    return window;
}

std::optional<FocusedWindow> search(const nlohmann::json& node, int depth) {
    if (!node.is_object() || depth > 64) {
        return std::nullopt;
    }
    if (node.value("focused", false) && isWindow(node) && node.contains("pid")) {
        return windowOf(node);
    }
    for (const char* children : {"nodes", "floating_nodes"}) {
        const auto found = node.find(children);
        if (found == node.end() || !found->is_array()) {
            continue;
        }
        for (const nlohmann::json& child : *found) {
            if (std::optional<FocusedWindow> window = search(child, depth + 1)) {
                return window;
            }
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<SwayIpc> SwayIpc::fromEnvironment() {
    const char* socket = std::getenv("SWAYSOCK");
    if (socket == nullptr || *socket == '\0') {
        return std::nullopt;
    }
    return SwayIpc(socket);
}

std::string swayMessage(std::uint32_t type, const std::string& payload) {
    std::string message(magic, magicSize);
    const auto length = static_cast<std::uint32_t>(payload.size());
    message.append(reinterpret_cast<const char*>(&length), sizeof(length)); // bytes of an integer
    message.append(reinterpret_cast<const char*>(&type), sizeof(type));     // as above
    return message + payload;
}

std::optional<FocusedWindow> focusedWindowInTree(const nlohmann::json& tree) {
    try {
        return search(tree, 0);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt; // a focused node without its rectangles: no place to tell
    }
}

std::optional<FocusedWindow> SwayIpc::focusedWindow() {
    const auto deadline = std::chrono::steady_clock::now() + replyLimit;
    sockaddr_un address{};
    const std::string path = socket_.string();
    if (path.size() >= sizeof(address.sun_path)) {
        return std::nullopt;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0 ||
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return std::nullopt;
    }
    const std::string message = swayMessage(getTree, "");
    if (::send(socket.get(), message.data(), message.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(message.size())) {
        return std::nullopt;
    }
    std::array<char, headerSize> header{};
    if (!readFully(socket.get(), header.data(), header.size(), deadline) ||
        std::memcmp(header.data(), magic, magicSize) != 0) {
        return std::nullopt;
    }
    std::uint32_t length = 0;
    std::memcpy(&length, header.data() + magicSize, sizeof(length));
    if (length > largestReply) {
        return std::nullopt;
    }
    std::string reply(length, '\0');
    if (!readFully(socket.get(), reply.data(), reply.size(), deadline)) {
        return std::nullopt;
    }
    const nlohmann::json tree = nlohmann::json::parse(reply, nullptr, false);
    return tree.is_discarded() ? std::nullopt : focusedWindowInTree(tree);
}

} // namespace ulvo::wayland
