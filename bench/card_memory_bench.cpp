// Memory of the running program: PSS of ulvo and every WebKit process it started, from
// /proc/<pid>/smaps_rollup: 10 s after start, with the card shown, with the card and Settings, and once
// both have been closed for longer than the web views' idle limit; and its CPU time while idle. Needs a
// display and a session bus (run inside scripts/private-session).
#include "app/AppDelegate.h"
#include "bench/BenchSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Parent of each process, from /proc/<pid>/stat.
std::map<int, int> parents() {
    std::map<int, int> result;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        int parent = 0;
        rest >> state >> parent;
        result[std::stoi(name)] = parent;
    }
    return result;
}

long pssKilobytes(int pid, const std::string& field) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
        if (line.rfind(field, 0) == 0) {
            return std::stol(line.substr(field.size()));
        }
    }
    return 0;
}

struct Tree {
    double pss = 0;  // MB
    double anon = 0; // MB not backed by files: what the program itself allocated
    int processes = 0;
};

// The program and all its descendants.
Tree measure(int root) {
    const std::map<int, int> parent = parents();
    Tree tree;
    for (const auto& [pid, ignored] : parent) {
        for (int walk = pid; walk > 1;) {
            if (walk == root) {
                tree.pss += static_cast<double>(pssKilobytes(pid, "Pss:")) / 1024.0;
                tree.anon += static_cast<double>(pssKilobytes(pid, "Pss_Anon:")) / 1024.0;
                ++tree.processes;
                break;
            }
            const auto found = parent.find(walk);
            walk = found == parent.end() ? 0 : found->second;
        }
    }
    return tree;
}

int runToEnd(const char* program, const char* argument) {
    const pid_t child = fork();
    if (child == 0) {
        execl(program, program, argument, nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// CPU seconds the process has used so far (user and system), from /proc/<pid>/stat.
double cpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int index = 3; rest >> field && index <= 15; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::stol(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

int main() {
    const pid_t program = fork();
    if (program == 0) {
        execl(ULVO_BENCH_PROGRAM, ULVO_BENCH_PROGRAM, nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(10s);
    const Tree idle = measure(program);
    const double cpuBefore = cpuSeconds(program);
    std::this_thread::sleep_for(30s);
    const double idleCpuPercent = 100.0 * (cpuSeconds(program) - cpuBefore) / 30.0;

    // A later start shows the card in the running program.
    if (runToEnd(ULVO_BENCH_PROGRAM, nullptr) != 0) {
        std::cerr << "the second start failed\n";
    }
    std::this_thread::sleep_for(6s);
    const Tree shown = measure(program);

    runToEnd(ULVO_BENCH_PROGRAM, "--settings");
    std::this_thread::sleep_for(6s);
    const Tree settings = measure(program);

    // Ctrl+H in ULVO's window hides the card and Settings; the web views go after the idle limit.
    static_cast<void>(std::system("xdotool key ctrl+h"));
    std::this_thread::sleep_for(
        std::chrono::duration_cast<std::chrono::seconds>(ulvo::AppDelegate::webViewsIdleLimit +
                                                         ulvo::AppDelegate::webProcessesEndLimit) +
        5s);
    const Tree closed = measure(program);

    kill(program, SIGTERM);
    waitpid(program, nullptr, 0);

    std::cout << "machine: " << ulvo::bench::machineDescription() << "\n"
              << std::fixed << std::setprecision(1);
    std::cout << "memory_pss_idle: " << idle.pss << " MB\n";
    std::cout << "memory_pss_card_shown_once: " << shown.pss << " MB\n";
    std::cout << "memory_pss_anon_card_shown_once: " << shown.anon << " MB\n";
    std::cout << "memory_processes_card_shown_once: " << shown.processes << " processes\n";
    std::cout << "memory_pss_card_and_settings: " << settings.pss << " MB\n";
    std::cout << "memory_pss_after_closing_and_idle_limit: " << closed.pss << " MB\n";
    std::cout << "memory_processes_after_closing_and_idle_limit: " << closed.processes << " processes\n";
    std::cout << "cpu_idle: " << std::setprecision(2) << idleCpuPercent << " % of one core\n";
    return 0;
}
