#include "tests/integration/Subprocess.h"

#include <glib.h>

#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
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
    gchar** environment = g_get_environ();
    for (const std::string& entry : extraEnvironment) {
        const std::size_t equals = entry.find('=');
        environment =
            g_environ_setenv(environment, entry.substr(0, equals).c_str(), entry.c_str() + equals + 1, TRUE);
    }
    std::vector<gchar*> arguments = pointers(argv);
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint status = 0;
    GError* error = nullptr;
    const gboolean ran = g_spawn_sync(nullptr, arguments.data(), environment, G_SPAWN_SEARCH_PATH, nullptr,
                                      nullptr, &out, &err, &status, &error);
    g_strfreev(environment);
    started(ran, error, argv.front());
    Finished finished{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, err};
    g_free(out);
    g_free(err);
    return finished;
}

Background::Background(const std::vector<std::string>& argv) {
    std::vector<gchar*> arguments = pointers(argv);
    GError* error = nullptr;
    started(g_spawn_async_with_pipes(nullptr, arguments.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                     nullptr, &pid_, nullptr, &output_, nullptr, &error),
            error, argv.front());
}

Background::~Background() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    ::close(output_);
}

std::string Background::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (const std::size_t end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{output_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char buffer[4096];
        const ssize_t count = ::read(output_, buffer, sizeof buffer);
        if (count <= 0) {
            return {};
        }
        pending_.append(buffer, static_cast<std::size_t>(count));
    }
}

} // namespace ulvo::test
