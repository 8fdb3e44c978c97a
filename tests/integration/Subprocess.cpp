#include "tests/integration/Subprocess.h"

#include "platform/linux/glib/GObjectPtr.h"

#include <glib.h>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ulvo::test {

namespace {

std::vector<gchar*> pointers(const std::vector<std::string>& strings) {
    std::vector<gchar*> raw;
    for (const std::string& s : strings) {
        raw.push_back(const_cast<gchar*>(s.c_str()));
    }
    raw.push_back(nullptr);
    return raw;
}

glib::GStrvPtr environmentWith(const std::vector<std::string>& extra) {
    gchar** environment = g_get_environ();
    for (const std::string& entry : extra) {
        const std::size_t equals = entry.find('=');
        environment =
            g_environ_setenv(environment, entry.substr(0, equals).c_str(), entry.c_str() + equals + 1, TRUE);
    }
    return glib::GStrvPtr(environment);
}

// Throws with GLib's reason when the program could not start.
void started(gboolean ran, GError* error, const std::string& program) {
    if (ran == FALSE) {
        const std::string reason = error != nullptr ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("cannot start " + program + ": " + reason);
    }
}

} // namespace

Finished runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment) {
    std::vector<gchar*> arguments = pointers(argv);
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint status = 0;
    GError* error = nullptr;
    started(g_spawn_sync(nullptr, arguments.data(), environmentWith(extraEnvironment).get(),
                         G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &status, &error),
            error, argv.front());
    Finished finished{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, err};
    g_free(out);
    g_free(err);
    return finished;
}

Background::Background(const std::vector<std::string>& argv,
                       const std::vector<std::string>& extraEnvironment) {
    std::vector<gchar*> arguments = pointers(argv);
    GError* error = nullptr;
    int input = -1;
    int output = -1;
    started(g_spawn_async_with_pipes(nullptr, arguments.data(), environmentWith(extraEnvironment).get(),
                                     G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid_, &input, &output,
                                     nullptr, &error),
            error, argv.front());
    input_.adopt(input);
    output_.adopt(output);
}

Background::~Background() {
    closeInput();
    closeOutput();
    if (!exitStatus(std::chrono::milliseconds(0))) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

long Background::fill(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd watch{output_.get(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
        return -1;
    }
    char buffer[65536];
    const ssize_t count = ::read(output_.get(), buffer, sizeof buffer);
    if (count > 0) {
        pending_.append(buffer, static_cast<std::size_t>(count));
    }
    return count < 0 ? 0 : count;
}

std::string Background::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t end = 0;
    while ((end = pending_.find('\n')) == std::string::npos) {
        if (fill(deadline) <= 0) {
            return {};
        }
    }
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
}

std::optional<std::string> Background::read(std::size_t size, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (pending_.size() < size) {
        if (fill(deadline) <= 0) {
            return std::nullopt;
        }
    }
    std::string bytes = pending_.substr(0, size);
    pending_.erase(0, size);
    return bytes;
}

bool Background::outputEnded(std::chrono::milliseconds limit) {
    return pending_.empty() && fill(std::chrono::steady_clock::now() + limit) == 0;
}

bool Background::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(input_.get(), bytes.data(), bytes.size());
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

std::optional<int> Background::exitStatus(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!status_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return status_;
}

} // namespace ulvo::test
