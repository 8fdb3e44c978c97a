// Memory of the running program: PSS of ulvo and every WebKit process it started, from
// /proc/<pid>/smaps_rollup, idle after start and after the card was shown once. Needs a display and a
// session bus (run inside scripts/private-session).
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

} // namespace

int main() {
    const pid_t program = fork();
    if (program == 0) {
        execl(ULVO_BENCH_PROGRAM, ULVO_BENCH_PROGRAM, nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(6s);
    const Tree idle = measure(program);

    // A later start shows the card in the running program.
    if (runToEnd(ULVO_BENCH_PROGRAM, nullptr) != 0) {
        std::cerr << "the second start failed\n";
    }
    std::this_thread::sleep_for(6s);
    const Tree shown = measure(program);

    runToEnd(ULVO_BENCH_PROGRAM, "--settings");
    std::this_thread::sleep_for(6s);
    const Tree settings = measure(program);

    kill(program, SIGTERM);
    waitpid(program, nullptr, 0);

    std::cout << "machine: " << ulvo::bench::machineDescription() << "\n"
              << std::fixed << std::setprecision(1);
    std::cout << "memory_pss_idle: " << idle.pss << " MB\n";
    std::cout << "memory_pss_card_shown_once: " << shown.pss << " MB\n";
    std::cout << "memory_pss_anon_card_shown_once: " << shown.anon << " MB\n";
    std::cout << "memory_processes_card_shown_once: " << shown.processes << " processes\n";
    std::cout << "memory_pss_card_and_settings: " << settings.pss << " MB\n";
    return 0;
}
