#pragma once

#include "platform/linux/FileDescriptor.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ulvo::test {

struct Finished {
    int exitStatus = -1; // -1 when it did not exit normally
    std::string standardOutput;
    std::string standardError;
};

// Runs argv[0] (a path, or a name found in PATH) to its end, collecting both outputs; extra entries
// ("NAME=value") are added to the environment. Throws when it cannot start.
Finished runToEnd(const std::vector<std::string>& argv,
                  const std::vector<std::string>& extraEnvironment = {});

// A child left running until destroyed (then terminated), its standard input and output on pipes held here.
class Background {
public:
    explicit Background(const std::vector<std::string>& argv,
                        const std::vector<std::string>& extraEnvironment = {});
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // The next line without its line feed; empty on end of output or at the limit.
    std::string readLine(std::chrono::milliseconds limit);
    // Exactly `size` bytes of output; nothing on end of output or at the limit.
    std::optional<std::string> read(std::size_t size, std::chrono::milliseconds limit);
    // Whether output ended without another byte.
    bool outputEnded(std::chrono::milliseconds limit);
    bool write(std::string_view bytes);
    void closeInput() { input_.reset(); }
    void closeOutput() { output_.reset(); }
    // The exit status (128 + the signal for a killed child) once it ended within the limit.
    std::optional<int> exitStatus(std::chrono::milliseconds limit);
    int pid() const { return pid_; }

private:
    // Bytes read into pending_: -1 at the deadline, 0 at the end of output.
    long fill(std::chrono::steady_clock::time_point deadline);

    int pid_ = -1;
    FileDescriptor input_;
    FileDescriptor output_;
    std::string pending_;
    std::optional<int> status_; // once reaped
};

} // namespace ulvo::test
