// The companion tool's command line: NUL-separated arguments, run without a model or recognition.
#include "runtime-tool/Protocol.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    ulvo::ULVOFoundationRuntime::Services services;
    services.loadModel = [] { return std::unique_ptr<ulvo::ExplanationModel>(); };
    services.recognizeText = [](const std::string&) { return std::string(); };
    const std::string line =
        ulvo::ULVOFoundationRuntime::write(ulvo::ULVOFoundationRuntime::run(arguments, services));
    // Every reply is one JSON object on one line.
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1 ||
        !nlohmann::json::accept(line.substr(0, line.size() - 1))) {
        __builtin_trap();
    }
    const std::int64_t level = ulvo::ULVOFoundationRuntime::level(arguments.back());
    if (level < 0 || level > 100) {
        __builtin_trap();
    }
    return 0;
}
