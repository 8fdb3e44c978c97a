#include "settings/ModelProvider.h"

namespace ulvo {

namespace {

struct ProviderInfo {
    std::string_view raw;
    std::string_view label;
    std::string_view baseURL;
    std::string_view model;
};

// Indexed by the enumeration's value.
constexpr std::array<ProviderInfo, allModelProviders.size()> providerTable{{
    {"local", "Built-in local", "http://127.0.0.1:7332/v1", "gemma-3-1b-it"},
    {"openAI", "OpenAI", "https://api.openai.com/v1", "gpt-5.4-mini"},
    {"openRouter", "OpenRouter", "https://openrouter.ai/api/v1", "openrouter/google/gemma-4-31b-it:free"},
    {"groq", "Groq", "https://api.groq.com/openai/v1", "llama-3.3-70b-versatile"},
    {"gemini", "Google Gemini", "https://generativelanguage.googleapis.com/v1beta/openai",
     "gemini-2.5-flash"},
    {"xAI", "xAI", "https://api.x.ai/v1", "grok-4-fast-non-reasoning"},
    {"custom", "Custom OpenAI-compatible", "", ""},
}};

const ProviderInfo& info(ModelProvider provider) {
    return providerTable.at(static_cast<std::size_t>(provider));
}

} // namespace

std::string_view rawValue(ModelProvider provider) {
    return info(provider).raw;
}

std::optional<ModelProvider> providerFromRawValue(std::string_view raw) {
    for (ModelProvider provider : allModelProviders) {
        if (info(provider).raw == raw) {
            return provider;
        }
    }
    return std::nullopt;
}

std::string_view label(ModelProvider provider) {
    return info(provider).label;
}

ProviderDefaults defaults(ModelProvider provider) {
    const ProviderInfo& entry = info(provider);
    return {std::string(entry.baseURL), std::string(entry.model)};
}

} // namespace ulvo
