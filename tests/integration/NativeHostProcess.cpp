#include "tests/integration/NativeHostProcess.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <glib.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ulvo::test {

using namespace std::chrono_literals;

std::string nativeFrame(std::string_view payload, std::optional<std::uint32_t> declared) {
    const std::uint32_t length = declared.value_or(static_cast<std::uint32_t>(payload.size()));
    std::string bytes(sizeof(length), '\0');
    std::memcpy(bytes.data(), &length, sizeof(length));
    return bytes.append(payload);
}

NativeHostProcess::NativeHostProcess(const std::string& program, const std::filesystem::path& configHome) {
    gchar** environment = g_environ_setenv(g_get_environ(), "XDG_CONFIG_HOME", configHome.c_str(), TRUE);
    std::string path = program;
    std::string origin = "chrome-extension://nafgfpmemmgfkecfgmbkficmlpgnjdfb/";
    std::array<char*, 3> argv{path.data(), origin.data(), nullptr};
    GError* error = nullptr;
    const gboolean started =
        g_spawn_async_with_pipes(nullptr, argv.data(), environment, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                 nullptr, &pid_, &input_, &output_, nullptr, &error);
    g_strfreev(environment);
    if (started == FALSE) {
        g_clear_error(&error);
        throw std::runtime_error("cannot start " + program);
    }
}

NativeHostProcess::~NativeHostProcess() {
    closeInput();
    closeOutput();
    if (pid_ > 0 && !exitStatus(0ms)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool NativeHostProcess::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(input_, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

void NativeHostProcess::closeInput() {
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

void NativeHostProcess::closeOutput() {
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
}

std::optional<std::string> NativeHostProcess::read(std::size_t size, std::chrono::milliseconds limit) {
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<char> buffer(65536);
    while (bytes.size() < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watch{output_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        const ssize_t count = ::read(output_, buffer.data(), std::min(buffer.size(), size - bytes.size()));
        if (count <= 0) {
            return std::nullopt;
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return bytes;
}

std::optional<nlohmann::json> NativeHostProcess::reply(std::chrono::milliseconds limit) {
    const auto header = read(sizeof(std::uint32_t), limit);
    if (!header) {
        return std::nullopt;
    }
    std::uint32_t length = 0;
    std::memcpy(&length, header->data(), sizeof(length));
    const auto payload = read(length, limit);
    if (!payload) {
        return std::nullopt;
    }
    nlohmann::json parsed = nlohmann::json::parse(*payload, nullptr, false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

bool NativeHostProcess::outputEnded(std::chrono::milliseconds limit) {
    pollfd watch{output_, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(limit.count())) <= 0) {
        return false;
    }
    char byte = 0;
    return ::read(output_, &byte, 1) == 0;
}

std::optional<int> NativeHostProcess::exitStatus(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

} // namespace ulvo::test
