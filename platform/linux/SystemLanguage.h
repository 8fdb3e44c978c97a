#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ulvo {

using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The user's preferred languages as language tags, from the locale environment in GLib's order
// (LANGUAGE, LC_ALL, LC_MESSAGES, LANG; the first one set decides). C and POSIX are not languages.
std::vector<std::string> preferredLanguages(const EnvironmentLookup& environment);

// The process's current locale identifier, used when no preferred language is set.
std::string currentLocaleIdentifier();

// The response language tag for prompts, read from the real environment now.
std::string systemResponseLanguage();

} // namespace ulvo
