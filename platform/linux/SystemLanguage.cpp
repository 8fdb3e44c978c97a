#include "platform/linux/SystemLanguage.h"

#include "answer/Prompts.h"

#include <unicode/locid.h>
#include <unicode/uloc.h>

#include <array>
#include <cstdlib>
#include <sstream>

namespace ulvo {

namespace {

bool isPlainCLocale(const std::string& entry) {
    const std::string base = entry.substr(0, entry.find_first_of(".@"));
    return base.empty() || base == "C" || base == "POSIX";
}

std::optional<std::string> toLanguageTag(const std::string& posixName) {
    // de_DE.UTF-8@euro: the codeset says nothing about the language; ICU canonicalises the rest.
    const std::string name =
        posixName.substr(0, posixName.find('.')) +
        (posixName.find('@') != std::string::npos ? posixName.substr(posixName.find('@')) : "");
    std::array<char, ULOC_FULLNAME_CAPACITY> canonical{};
    UErrorCode status = U_ZERO_ERROR;
    uloc_canonicalize(name.c_str(), canonical.data(), static_cast<int32_t>(canonical.size()), &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::array<char, ULOC_FULLNAME_CAPACITY> tag{};
    status = U_ZERO_ERROR;
    uloc_toLanguageTag(canonical.data(), tag.data(), static_cast<int32_t>(tag.size()), false, &status);
    if (U_FAILURE(status) || tag[0] == '\0' || std::string(tag.data()) == "und") {
        return std::nullopt;
    }
    return std::string(tag.data());
}

} // namespace

std::vector<std::string> preferredLanguages(const EnvironmentLookup& environment) {
    std::string list;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (std::optional<std::string> value = environment(name); value && !value->empty()) {
            list = *value;
            break;
        }
    }
    std::vector<std::string> tags;
    std::istringstream entries(list);
    for (std::string entry; std::getline(entries, entry, ':');) {
        if (isPlainCLocale(entry)) {
            continue;
        }
        if (std::optional<std::string> tag = toLanguageTag(entry)) {
            tags.push_back(std::move(*tag));
        }
    }
    return tags;
}

std::string currentLocaleIdentifier() {
    const std::string name = icu::Locale::getDefault().getName();
    // ICU's name for the C and POSIX locales; what they mean for a reply's language is English.
    return name == "en_US_POSIX" || name == "c" || name == "posix" ? "en" : name;
}

std::string systemResponseLanguage() {
    const auto environment = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name); // NOLINT(concurrency-mt-unsafe): read-only after start-up
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    };
    return preferredResponseLanguage(preferredLanguages(environment), currentLocaleIdentifier());
}

} // namespace ulvo
