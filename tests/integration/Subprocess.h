#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace ulvo::test {

struct Finished {
    int exitStatus = -1; // -1 when it did not exit normally
    std::string standardOutput;
    std::string standardError;
};

// Runs argv[0] (a path, or a name found in PATH) to its end, collecting both outputs; extra entries
// are added to the environment. Throws when it cannot start.
Finished runToEnd(const std::vector<std::string>& argv,
                  const std::vector<std::string>& extraEnvironment = {});

// A child left running until destroyed; its standard output is readable line by line.
class Background {
public:
    explicit Background(const std::vector<std::string>& argv);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // The next line without its line feed; empty on end of output or at the limit.
    std::string readLine(std::chrono::milliseconds limit);
    int pid() const { return pid_; }

private:
    int pid_ = -1;
    int output_ = -1;
    std::string pending_;
};

} // namespace ulvo::test
