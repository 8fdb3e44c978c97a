#include "browser/NativeMessagingInstaller.h"

#include "base/Text.h"
#include "platform/linux/FileDescriptor.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ulvo {

namespace {

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::string> readUtf8(const std::filesystem::path& path) {
    std::optional<std::string> text = readFile(path);
    if (!text || !isValidUtf8(*text)) {
        return std::nullopt;
    }
    return text;
}

// The "chromeExtensionId" of an object whose values are all strings; nothing for anything else.
std::optional<std::string> chromeExtensionId(const std::filesystem::path& path) {
    const std::optional<std::string> text = readFile(path);
    if (!text) {
        return std::nullopt;
    }
    const nlohmann::json ids = nlohmann::json::parse(*text, nullptr, false);
    if (!ids.is_object() || ids.empty()) {
        return std::nullopt;
    }
    for (const auto& [key, value] : ids.items()) {
        if (!value.is_string()) {
            return std::nullopt;
        }
    }
    const auto found = ids.find("chromeExtensionId");
    if (found == ids.end() || found->get_ref<const std::string&>().empty()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

// Write to a temporary file beside the target, then rename over it: a reader never sees half a manifest.
bool writeAtomically(const std::filesystem::path& target, const std::string& text) {
    std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    FileDescriptor file(::mkostemp(name.data(), O_CLOEXEC));
    if (file.get() < 0) {
        return false;
    }
    const std::string temporary(name.data());
    bool written = ::fchmod(file.get(), 0644) == 0;
    std::size_t offset = 0;
    while (written && offset < text.size()) {
        const ssize_t count = ::write(file.get(), text.data() + offset, text.size() - offset);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        written = count > 0;
        offset += written ? static_cast<std::size_t>(count) : 0;
    }
    written = written && ::fsync(file.get()) == 0;
    written = file.close() && written;
    if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void writeManifest(const std::filesystem::path& directory, const std::string& text) {
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    writeAtomically(directory / NativeMessagingInstaller::manifestFileName, text);
}

} // namespace

std::optional<std::string> NativeMessagingInstaller::fill(
    std::string_view text,
    std::initializer_list<std::pair<std::string_view, std::string_view>> replacements) {
    std::vector<std::pair<std::string_view, std::string>> escaped;
    for (const auto& [placeholder, value] : replacements) {
        if (!isValidUtf8(value)) {
            return std::nullopt;
        }
        const std::string quoted = nlohmann::json(value).dump();
        escaped.emplace_back(placeholder, quoted.substr(1, quoted.size() - 2));
    }
    std::string out;
    std::size_t position = 0;
    while (position < text.size()) {
        bool replaced = false;
        for (const auto& [placeholder, value] : escaped) {
            if (!placeholder.empty() && text.substr(position, placeholder.size()) == placeholder) {
                out += value;
                position += placeholder.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += text[position++];
        }
    }
    return out;
}

void NativeMessagingInstaller::install(const std::optional<std::filesystem::path>& runtimeDir,
                                       const std::filesystem::path& homeDir) {
    if (!runtimeDir) {
        return;
    }
    std::error_code error;
    const std::filesystem::path runtime = std::filesystem::absolute(*runtimeDir, error);
    if (error) {
        return;
    }
    const std::optional<std::string> extensionId = chromeExtensionId(runtime / extensionIdsFileName);
    if (!extensionId) {
        return;
    }
    const std::string hostPath = (runtime / hostProgramName).string();

    if (const auto chromium = readUtf8(runtime / "manifests" / chromiumTemplateName)) {
        if (const auto filled =
                fill(*chromium, {{hostPathPlaceholder, hostPath}, {extensionIdPlaceholder, *extensionId}})) {
            for (const char* directory : chromiumDirectories) {
                writeManifest(homeDir / directory, *filled);
            }
        }
    }
    const auto firefox = readUtf8(runtime / "manifests" / firefoxTemplateName);
    if (!firefox) {
        return;
    }
    if (const auto filled = fill(*firefox, {{hostPathPlaceholder, hostPath}})) {
        writeManifest(homeDir / firefoxDirectory, *filled);
    }
}

void installBundledNativeMessagingHost(const std::optional<std::filesystem::path>& runtimeDir) {
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable != nullptr && variable[0] == '/') {
        home = variable;
    } else {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr) {
            home = found->pw_dir;
        }
    }
    if (home.empty()) {
        return;
    }
    NativeMessagingInstaller::install(runtimeDir, home);
}

} // namespace ulvo
