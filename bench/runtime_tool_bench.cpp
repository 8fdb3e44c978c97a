// Wall time of ulvo-foundation-runtime runs: availability and explain with the test model.
#include "bench/BenchSupport.h"
#include "tests/integration/Subprocess.h"

#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int runs = 5;

double median(const std::vector<std::string>& command) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const ulvo::test::Finished run = ulvo::test::runToEnd(command);
        samples.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (run.exitStatus != 0 || run.standardOutput.find("\"ok\":true") == std::string::npos) {
            std::cerr << "unexpected reply: " << run.standardOutput;
        }
    }
    return ulvo::bench::quantile(samples, 0.5);
}

} // namespace

int main() {
    // An installed layout with the test model at the tool's fixed place.
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("ulvo-tool-bench-" + std::to_string(::getpid()));
    const std::filesystem::path runtime = root / "lib" / "ulvo" / "runtime";
    std::filesystem::create_directories(root / "bin");
    std::filesystem::create_directories(runtime / "models");
    std::filesystem::copy_file(ULVO_RUNTIME_TOOL, root / "bin" / "ulvo-foundation-runtime");
    std::filesystem::create_directory_symlink(std::filesystem::path(ULVO_RUNTIME_LIB_DIR).parent_path(),
                                              runtime / "lib");
    std::filesystem::create_symlink(ULVO_TEST_MODEL, runtime / "models" / "on-device.gguf");
    const std::string tool = (root / "bin" / "ulvo-foundation-runtime").string();

    const double availability = median({tool, "availability"});
    const double explain =
        median({tool, "explain", "--level", "60", "--language", "en", "--",
                "Photosynthesis turns light, water and carbon dioxide into sugar and oxygen."});
    std::filesystem::remove_all(root);

    std::cout << std::fixed << std::setprecision(1);
    std::cout << "machine: " << ulvo::bench::machineDescription() << "\n";
    std::cout << "runtime_tool_availability_wall: " << availability * 1000 << " ms\n";
    std::cout << "runtime_tool_explain_test_model_wall: " << explain * 1000 << " ms\n";
    return 0;
}
