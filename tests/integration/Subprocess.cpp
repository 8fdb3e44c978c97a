#include "tests/integration/Subprocess.h"

#include <algorithm>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ; // NOLINT

namespace ulvo::test {

namespace {

struct Argv {
    std::vector<std::string> strings;
    std::vector<char*> pointers;
    explicit Argv(std::vector<std::string> values)
        : strings(std::move(values)) {
        for (std::string& s : strings) {
            pointers.push_back(s.data());
        }
        pointers.push_back(nullptr);
    }
};

int spawnWithPipes(const std::vector<std::string>& argv, const std::vector<std::string>& extra, int out[2],
                   int err[2]) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (err != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    }
    // The extra entries replace variables of the same name: the first of two would win.
    const auto overridden = [&extra](const std::string& entry) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        return std::any_of(extra.begin(), extra.end(),
                           [&name](const std::string& e) { return e.rfind(name, 0) == 0; });
    };
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!overridden(*entry)) {
            environment.emplace_back(*entry);
        }
    }
    environment.insert(environment.end(), extra.begin(), extra.end());
    Argv arguments(argv);
    Argv variables(environment);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv.front().c_str(), &actions, nullptr, arguments.pointers.data(),
                                  variables.pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("cannot start " + argv.front() + ": " + std::strerror(error));
    }
    return pid;
}

int waitFor(int pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

Finished runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    const int pid = spawnWithPipes(argv, extraEnvironment, out, err);
    ::close(out[1]);
    ::close(err[1]);
    Finished finished;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&finished.standardOutput, &finished.standardError};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buffer[65536];
                const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
                if (count > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(count));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    finished.exitStatus = waitFor(pid);
    return finished;
}

Background::Background(const std::vector<std::string>& argv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    pid_ = spawnWithPipes(argv, {}, out, nullptr);
    ::close(out[1]);
    output_ = out[0];
}

Background::~Background() {
    ::kill(pid_, SIGTERM);
    waitFor(pid_);
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
