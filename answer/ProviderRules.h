#pragma once

#include "answer/ChatRequest.h"
#include "answer/ProviderError.h"
#include "settings/ModelProvider.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ulvo {

// Whether a model's name belongs to a family that reasons before it answers.
bool isReasoningModel(std::string_view model);

// What each preset's provider documents for its models: OpenAI's gpt-5 and o-series take
// "max_completion_tokens", no temperature but the default, and a reasoning effort; reasoning models get
// room to reason before the answer.
void applyProviderRules(ChatExchange& exchange, ModelProvider provider);

// The change a 400 asks for: the refused member and what it becomes (its documented replacement, or
// empty to leave it out); nothing when the refusal names no member the body carries.
std::optional<std::pair<std::string, std::string>> requestChange(const ProviderError& error,
                                                                 const std::string& body);

} // namespace ulvo
