#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace ulvo {

// Which device runs the built-in model, in the words Settings and the companion tool show.
struct ComputeDevice {
    bool gpu = false;
    std::string label; // "Vulkan: <device>" or "CPU (<instructions>)"

    // The CPU, named by the best instruction set its backend uses here ("CPU (AVX2)").
    static ComputeDevice cpu();
    // The first device of llama-server's --list-devices output; none when it lists none.
    static std::optional<ComputeDevice> firstListed(const std::string& listing);

    // Where the server's device is noted for Settings: a file in the user's cache folder.
    static std::filesystem::path recordPath();
    static std::optional<std::string> readRecord();
    void writeRecord() const;

    bool operator==(const ComputeDevice&) const = default;
};

} // namespace ulvo
