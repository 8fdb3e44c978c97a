#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ulvo {

// Writes the browsers' native-messaging host manifests from the templates in the runtime directory
// (see InstallLayout),
// so an extension can start the host program. Every failure is silent and leaves the rest unaffected.
class NativeMessagingInstaller {
public:
    static constexpr const char* manifestFileName = "com.ulvo_by_zvk.runtime.json";
    static constexpr const char* hostProgramName = "ulvo-runtime-host";
    static constexpr const char* extensionIdsFileName = "extension-ids.json";
    static constexpr const char* chromiumTemplateName = "com.ulvo.runtime.chrome.json.template";
    static constexpr const char* firefoxTemplateName = "com.ulvo.runtime.firefox.json.template";
    static constexpr const char* hostPathPlaceholder = "__ULVO_RUNTIME_HOST_PATH__";
    static constexpr const char* extensionIdPlaceholder = "__ULVO_EXTENSION_ID__";

    // Relative to the home directory, in the order they are written.
    static constexpr std::array<const char*, 7> chromiumDirectories{
        ".config/google-chrome/NativeMessagingHosts",
        ".config/microsoft-edge/NativeMessagingHosts",
        ".config/BraveSoftware/Brave-Browser/NativeMessagingHosts",
        ".config/vivaldi/NativeMessagingHosts",
        ".config/opera/NativeMessagingHosts",
        ".config/chromium/NativeMessagingHosts",
        ".config/google-chrome-beta/NativeMessagingHosts",
    };
    static constexpr const char* firefoxDirectory = ".mozilla/native-messaging-hosts";

    // Without a runtime directory nothing happens.
    static void install(const std::optional<std::filesystem::path>& runtimeDir,
                        const std::filesystem::path& homeDir);

    // Replaces every placeholder of `replacements` in one pass, so substituted text is never searched
    // again, and writes each value as JSON string content: a path holding a quote or a backslash still
    // yields valid JSON. Nothing when a value is not UTF-8 (JSON cannot name such a path).
    static std::optional<std::string>
    fill(std::string_view text,
         std::initializer_list<std::pair<std::string_view, std::string_view>> replacements);
};

// The start-up call: the home directory from $HOME, else the password database.
void installBundledNativeMessagingHost(const std::optional<std::filesystem::path>& runtimeDir);

} // namespace ulvo
