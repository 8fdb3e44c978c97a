#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace ulvo::test {

// One native-messaging frame: the length in native byte order (or `declared` instead), then the payload.
std::string nativeFrame(std::string_view payload, std::optional<std::uint32_t> declared = std::nullopt);

// ulvo-runtime-host as a browser runs it: the extension's origin as argument, both pipes held here, the
// session's environment with XDG_CONFIG_HOME replaced.
class NativeHostProcess {
public:
    NativeHostProcess(const std::string& program, const std::filesystem::path& configHome);
    ~NativeHostProcess();
    NativeHostProcess(const NativeHostProcess&) = delete;
    NativeHostProcess& operator=(const NativeHostProcess&) = delete;

    bool send(std::string_view bytes);
    bool sendMessage(const nlohmann::json& message) { return send(nativeFrame(message.dump())); }
    void closeInput();
    void closeOutput();

    // The next framed reply; nothing at the limit, at the end of output or for a frame that is not JSON.
    std::optional<nlohmann::json> reply(std::chrono::milliseconds limit);
    // Whether stdout ended without another byte.
    bool outputEnded(std::chrono::milliseconds limit);
    std::optional<int> exitStatus(std::chrono::milliseconds limit);

private:
    std::optional<std::string> read(std::size_t size, std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

} // namespace ulvo::test
