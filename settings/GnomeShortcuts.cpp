#include "settings/GnomeShortcuts.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace ulvo {

namespace {

constexpr const char* customPathPrefix =
    "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/custom";

struct Wanted {
    const char* option;
    const char* name;
    const char* binding;
    const char* keyName;
};

constexpr Wanted wanted[] = {
    {"--explain", "ULVO: explain the selection", "<Alt>e", "Alt+E"},
    {"--capture", "ULVO: explain text in a screen region", "<Alt><Shift>e", "Alt+Shift+E"},
};

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A shell word: the program's path may hold spaces.
std::string quoted(const std::string& word) {
    std::string result = "'";
    for (const char c : word) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

std::string freePath(const std::vector<CustomShortcut>& taken) {
    std::set<std::string> paths;
    for (const CustomShortcut& shortcut : taken) {
        paths.insert(shortcut.path);
    }
    for (int index = 0;; ++index) {
        std::string path = customPathPrefix + std::to_string(index) + "/";
        if (paths.count(path) == 0) {
            return path;
        }
    }
}

} // namespace

std::string normalizedAccelerator(const std::string& binding) {
    std::vector<std::string> modifiers;
    std::string key;
    std::size_t at = 0;
    while (at < binding.size()) {
        if (binding[at] == '<') {
            const std::size_t end = binding.find('>', at);
            if (end == std::string::npos) {
                break;
            }
            std::string modifier = lowered(binding.substr(at + 1, end - at - 1));
            // GTK writes Control as "Primary" or "Ctrl" too.
            if (modifier == "primary" || modifier == "ctrl" || modifier == "control") {
                modifier = "control";
            }
            modifiers.push_back(modifier);
            at = end + 1;
        } else {
            key = lowered(binding.substr(at));
            break;
        }
    }
    std::sort(modifiers.begin(), modifiers.end());
    std::string result;
    for (const std::string& modifier : modifiers) {
        result += "<" + modifier + ">";
    }
    return result + key;
}

std::string addGnomeShortcuts(ShortcutSettings& settings, const std::string& program) {
    std::vector<CustomShortcut> existing = settings.customShortcuts();
    std::vector<CustomShortcut> added;
    std::vector<std::string> sentences;
    for (const Wanted& want : wanted) {
        const std::string command = quoted(program) + " " + want.option;
        const std::string key = normalizedAccelerator(want.binding);
        const auto sameKey = [&](const CustomShortcut& shortcut) {
            return normalizedAccelerator(shortcut.binding) == key;
        };
        const auto holder = std::find_if(existing.begin(), existing.end(), sameKey);
        if (holder != existing.end() && holder->command == command) {
            sentences.push_back(std::string(want.keyName) + " already runs ULVO.");
            continue;
        }
        std::optional<std::string> takenBy;
        if (holder != existing.end()) {
            takenBy = holder->name.empty() ? holder->command : holder->name;
        } else {
            takenBy = settings.desktopShortcutFor(want.binding);
        }
        if (takenBy) {
            sentences.push_back(std::string(want.keyName) + " is already taken by \u201c" + *takenBy +
                                "\u201d; choose another key for ULVO in GNOME's keyboard settings.");
            continue;
        }
        CustomShortcut shortcut{freePath(existing), want.name, command, want.binding};
        existing.push_back(shortcut);
        added.push_back(std::move(shortcut));
        sentences.push_back(std::string(want.keyName) + " now runs ULVO.");
    }
    if (!added.empty() && !settings.addCustomShortcuts(added)) {
        return "Could not change GNOME's keyboard shortcuts.";
    }
    std::string message;
    for (const std::string& sentence : sentences) {
        message += (message.empty() ? "" : " ") + sentence;
    }
    return message;
}

} // namespace ulvo
