#include "settings/LoginStart.h"
#include "base/UserFolders.h"

#include <fstream>

namespace ulvo {

namespace {

// Exec quoting of the desktop entry format: the path in double quotes with ", `, $ and \ escaped, then
// the string escape (\ doubled) and % doubled, since Exec expands field codes.
std::string execArgument(const std::string& path) {
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (const char c : quoted) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '%') {
            escaped += "%%";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

LoginStart::LoginStart(std::filesystem::path autostartFolder, std::filesystem::path program)
    : entry_(std::move(autostartFolder) / entryName)
    , program_(std::move(program)) {}

std::filesystem::path LoginStart::userFolder() {
    return userConfigHome() / "autostart";
}

std::optional<std::string> LoginStart::entryText(const std::filesystem::path& program) {
    const std::string path = program.string();
    if (path.find_first_of("\r\n") != std::string::npos) {
        return std::nullopt;
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=ULVO\n"
           "Comment=Explain selected text in plain language\n"
           "Icon=com.zvk.ULVO\n"
           "Exec=" +
           execArgument(path) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool LoginStart::enabled() const {
    std::ifstream in(entry_);
    if (!in) {
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") {
            return false;
        }
    }
    return true;
}

bool LoginStart::set(bool on) {
    std::error_code error;
    if (!on) {
        std::filesystem::remove(entry_, error);
        return !error;
    }
    const std::optional<std::string> text = entryText(program_);
    if (!text) {
        return false;
    }
    std::filesystem::create_directories(entry_.parent_path(), error);
    // Whole or not at all: a half-written entry could start something else at the next login.
    const std::filesystem::path temporary = entry_.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << *text;
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary, error);
            return false;
        }
    }
    std::filesystem::rename(temporary, entry_, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

} // namespace ulvo
