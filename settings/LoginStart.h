#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace ulvo {

// "Start ULVO at login": an XDG autostart entry in the user's autostart folder, off by default.
class LoginStart {
public:
    static constexpr const char* entryName = "com.zvk.ULVO.desktop";

    LoginStart(std::filesystem::path autostartFolder, std::filesystem::path program);

    // $XDG_CONFIG_HOME/autostart, by default ~/.config/autostart.
    static std::filesystem::path userFolder();
    // The entry that starts `program`; absent for a path a desktop entry cannot hold (a line break).
    static std::optional<std::string> entryText(const std::filesystem::path& program);

    // On when the entry is there and not hidden (the desktop's own settings may hide it).
    bool enabled() const;
    // Writes or removes the entry; false when that failed, and then nothing changed.
    bool set(bool on);

private:
    std::filesystem::path entry_;
    std::filesystem::path program_;
};

} // namespace ulvo
