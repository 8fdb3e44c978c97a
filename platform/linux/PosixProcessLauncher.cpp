#include "platform/linux/PosixProcessLauncher.h"
#include "base/Files.h"
#include "platform/linux/FileDescriptor.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ; // the process environment, read-only here

namespace ulvo {

namespace {

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
};

enum class Grouping { newSession, newGroup };

class SpawnAttributes {
public:
    explicit SpawnAttributes(Grouping grouping) {
        posix_spawnattr_init(&attributes_);
        // The child starts with default signal handling and nothing blocked, whatever this process set.
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &all);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (grouping == Grouping::newSession) {
            flags |= POSIX_SPAWN_SETSID; // survives the terminal or session that started us
        } else {
            posix_spawnattr_setpgroup(&attributes_, 0);
            flags |= POSIX_SPAWN_SETPGROUP; // its own group, so a kill also reaches what it started
        }
        posix_spawnattr_setflags(&attributes_, flags);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
};

class PosixChild final : public ChildProcess {
public:
    explicit PosixChild(pid_t pid)
        : pid_(pid) {}
    bool isRunning() override {
        if (exited_) {
            return false;
        }
        int status = 0;
        const pid_t result = ::waitpid(pid_, &status, WNOHANG);
        exited_ = result == pid_ || (result < 0 && errno == ECHILD);
        return !exited_;
    }
    int pid() const override { return pid_; }

private:
    pid_t pid_;
    bool exited_ = false;
};

// Owns the strings that argv and envp point into.
struct CommandLine {
    std::vector<std::string> strings;
    std::vector<char*> argv;
    std::vector<std::string> environmentStrings;
    std::vector<char*> envp;

    explicit CommandLine(const LaunchRequest& request) {
        strings.push_back(request.executable.string());
        strings.insert(strings.end(), request.arguments.begin(), request.arguments.end());
        for (std::string& s : strings) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        if (request.environment) {
            for (const auto& [name, value] : *request.environment) {
                environmentStrings.push_back(name + "=" + value);
            }
            for (std::string& s : environmentStrings) {
                envp.push_back(s.data());
            }
            envp.push_back(nullptr);
        }
    }
    char* const* environment() const { return envp.empty() ? environ : envp.data(); }
};

Result<pid_t> spawn(const LaunchRequest& request, SpawnActions& actions, Grouping grouping) {
    if (request.workingDirectory) {
        posix_spawn_file_actions_addchdir_np(actions.get(), request.workingDirectory->c_str());
    }
    posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
    SpawnAttributes attributes(grouping);
    const CommandLine command(request);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, command.strings.front().c_str(), actions.get(), attributes.get(),
                                  command.argv.data(), command.environment());
    if (error != 0) {
        return Failure{"Could not start " + request.executable.filename().string() + ": " +
                           std::generic_category().message(error),
                       error};
    }
    return pid;
}

} // namespace

Result<std::unique_ptr<ChildProcess>> PosixProcessLauncher::launch(const LaunchRequest& request) {
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const Result<pid_t> pid = spawn(request, actions, Grouping::newSession);
    if (!pid) {
        return pid.failure();
    }
    return std::unique_ptr<ChildProcess>(std::make_unique<PosixChild>(*pid));
}

Result<ProcessOutput> PosixProcessLauncher::run(const LaunchRequest& request,
                                                std::chrono::milliseconds limit) {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        const int error = errno;
        return Failure{"Could not make a pipe: " + std::generic_category().message(error), error};
    }
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
    // An unread error pipe would stall a chatty child; its error output has no reader anyway.
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const Result<pid_t> spawned = spawn(request, actions, Grouping::newGroup);
    if (!spawned) {
        return spawned.failure();
    }
    const pid_t pid = *spawned;
    writeEnd.reset();

    // Drain while the child runs, so a reply larger than the pipe buffer cannot stall it.
    ProcessOutput output;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || isRaised(request.stop)) {
            timedOut = true; // ended like a child past its limit
            break;
        }
        pollfd waiting{readEnd.get(), POLLIN, 0};
        // Short waits, so a raised stop flag is seen within a tenth of a second.
        const int ready = ::poll(&waiting, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 100)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[65536];
        const ssize_t count = ::read(readEnd.get(), buffer, sizeof buffer);
        if (count > 0) {
            output.standardOutput.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            break; // end of output: the child closed it, normally by exiting
        }
    }
    // The end of output need not be the end of the child (it may close its output and go on),
    // so waiting for its exit keeps to the same limit.
    int status = 0;
    while (!timedOut) {
        const pid_t waited = ::waitpid(pid, &status, WNOHANG);
        if (waited == pid || (waited < 0 && errno != EINTR)) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline || isRaised(request.stop)) {
            timedOut = true;
            break;
        }
        ::usleep(2000);
    }
    if (timedOut) {
        ::kill(-pid, SIGKILL); // the whole group: a hung helper of the child goes too
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return Failure{isRaised(request.stop)
                           ? request.executable.filename().string() + " was stopped."
                           : request.executable.filename().string() + " ran past its limit."};
    }
    output.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

Environment PosixProcessLauncher::currentEnvironment() const {
    Environment environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos) {
            environment.emplace_back(text.substr(0, equals), text.substr(equals + 1));
        }
    }
    return environment;
}

std::string PosixProcessLauncher::machine() const {
    utsname names{};
    return ::uname(&names) == 0 ? std::string(names.machine) : std::string();
}

bool PosixProcessLauncher::isExecutableFile(const std::filesystem::path& path) const {
    return ulvo::isExecutableFile(path);
}

} // namespace ulvo
