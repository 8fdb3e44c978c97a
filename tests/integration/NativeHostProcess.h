#pragma once

#include "tests/integration/Subprocess.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstring>
#include <filesystem>

namespace ulvo::test {

// One native-messaging frame: the length in native byte order, then the payload.
inline std::string nativeFrame(std::string_view payload) {
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::string bytes(sizeof(length), '\0');
    std::memcpy(bytes.data(), &length, sizeof(length));
    return bytes.append(payload);
}

// ulvo-runtime-host as a browser runs it: the extension's origin as argument, both pipes held here, the
// session's environment with XDG_CONFIG_HOME replaced.
class NativeHostProcess : public Background {
public:
    NativeHostProcess(const std::string& program, const std::filesystem::path& configHome)
        : Background({program, "chrome-extension://nafgfpmemmgfkecfgmbkficmlpgnjdfb/"},
                     {"XDG_CONFIG_HOME=" + configHome.string()}) {}

    bool sendMessage(const nlohmann::json& message) { return write(nativeFrame(message.dump())); }

    // The next framed reply; nothing at the limit, at the end of output or for a frame that is not JSON.
    std::optional<nlohmann::json> reply(std::chrono::milliseconds limit) {
        const auto header = read(sizeof(std::uint32_t), limit);
        if (!header) {
            return std::nullopt;
        }
        std::uint32_t length = 0;
        std::memcpy(&length, header->data(), sizeof(length));
        nlohmann::json parsed = nlohmann::json::parse(read(length, limit).value_or(""), nullptr, false);
        return parsed.is_discarded() ? std::nullopt : std::optional(std::move(parsed));
    }
};

} // namespace ulvo::test
