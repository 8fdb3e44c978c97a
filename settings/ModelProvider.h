#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace ulvo {

// The answer providers, in the order Settings lists them. Raw values are the case names.
enum class ModelProvider { local, openAI, openRouter, groq, gemini, xAI, custom };

struct ProviderDefaults {
    std::string baseURL;
    std::string model;
};

inline constexpr std::array<ModelProvider, 7> allModelProviders{
    ModelProvider::local,  ModelProvider::openAI, ModelProvider::openRouter, ModelProvider::groq,
    ModelProvider::gemini, ModelProvider::xAI,    ModelProvider::custom};

std::string_view rawValue(ModelProvider provider);
// Exact, case-sensitive match; any other string names no provider.
std::optional<ModelProvider> providerFromRawValue(std::string_view raw);
std::string_view label(ModelProvider provider);
ProviderDefaults defaults(ModelProvider provider);
inline bool needsAPIKey(ModelProvider provider) {
    return provider != ModelProvider::local;
}

} // namespace ulvo
