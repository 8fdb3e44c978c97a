#include "answer/ModelService.h"

#include "answer/ChatRequest.h"
#include "answer/Cleanup.h"
#include "answer/ModelFailure.h"
#include "answer/ProviderError.h"
#include "answer/ProviderRules.h"
#include "answer/ThinkBlocks.h"
#include "base/Text.h"
#include "base/Url.h"
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"

#include <algorithm>
#include <new>

namespace ulvo {

namespace {

double cloudTemperature(Level level) {
    return level <= 10 ? 0.15 : 0.35;
}

// A control character in the key would be written raw into the Authorization header.
bool isSendableKey(const std::string& key) {
    return std::none_of(key.begin(), key.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// An answer that cleans to nothing is no answer: shown as a success it would leave the card blank.
std::string cleanedAnswer(const std::string& raw, Level level) {
    std::string cleaned = clean(raw, level);
    if (cleaned.empty()) {
        throw ModelFailure("The answer came back empty. Please try again.");
    }
    return cleaned;
}

constexpr const char* thinkingText = "Thinking\u2026";
// A request adapts to at most this many refused members.
constexpr int maxAdaptations = 3;

// The answer to show: the monologue of a reasoning model removed, cleaned, and a note when it was cut.
std::string finishedAnswer(const ChatAnswer& raw, Level level) {
    const ThoughtSplit split = withoutThinking(raw.text);
    const bool cutByLength = raw.finishReason == "length" || raw.finishReason == "max_tokens";
    const bool filtered = raw.finishReason == "content_filter";
    if (isBlank(split.answer)) {
        if (filtered) {
            throw ModelFailure("The provider withheld the answer: its content filter stopped it.");
        }
        if (split.thought || raw.reasoned) {
            throw ModelFailure(
                cutByLength || split.unclosed
                    ? "The model spent its whole length limit thinking and gave no answer. "
                      "Choose another model in Settings."
                    : "The model only thought and gave no answer. Try again, or choose another "
                      "model in Settings.");
        }
    }
    std::string answer = cleanedAnswer(split.answer, level);
    if (raw.capped) {
        answer += "\n\n(Cut short: the answer was longer than 64 KB.)";
    } else if (cutByLength || split.unclosed) {
        answer += "\n\n(Cut short: the answer reached its length limit.)";
    } else if (filtered) {
        answer += "\n\n(Cut short by the provider's content filter.)";
    }
    return answer;
}

std::string trimSlashes(const std::string& url) {
    const std::size_t first = url.find_first_not_of('/');
    if (first == std::string::npos) {
        return {};
    }
    return url.substr(first, url.find_last_not_of('/') - first + 1);
}

} // namespace

ModelService::ModelService(Dependencies dependencies)
    : deps_(std::move(dependencies))
    , queue_("com.zvk.ULVO.model") {
    if (!deps_.stop) {
        deps_.stop = std::make_shared<std::atomic<bool>>(false);
    }
}

ModelService::~ModelService() {
    {
        const std::lock_guard lock(turn_);
        quitting_ = true;
        deps_.stop->store(true);
    }
    queue_.discardPending();
}

std::uint64_t ModelService::supersede() {
    const std::lock_guard lock(turn_);
    deps_.stop->store(true);
    return ++latest_;
}

bool ModelService::begin(std::uint64_t generation) {
    const std::lock_guard lock(turn_);
    if (generation != latest_ || quitting_) {
        return false;
    }
    deps_.stop->store(false);
    return true;
}

void ModelService::cancel() {
    supersede();
}

void ModelService::explain(std::string text, std::optional<std::string> question, Level level,
                           Completion completion, Partial partial) {
    const std::uint64_t generation = supersede();
    queue_.async([this, generation, text = std::move(text), question = std::move(question), level,
                  completion = std::move(completion), partial = std::move(partial)] {
        if (!begin(generation)) {
            completion(ExplainResult::superseded());
            return;
        }
        // Throttled, and only while this request is still the latest.
        auto last = std::chrono::steady_clock::time_point{};
        LocalModel::PartialText shown;
        PartialCleaner cleaner(level);
        if (partial) {
            shown = [&](const std::string& raw) {
                const auto now = std::chrono::steady_clock::now();
                if (now - last < partialInterval || isRaised(deps_.stop)) {
                    return;
                }
                last = now;
                const ThoughtSplit split = withoutThinking(raw, true);
                std::string display = cleaner(split.answer);
                if (display.empty() && (split.thought || raw.empty())) {
                    display = thinkingText; // a reasoning model's monologue, or its reasoning fields
                }
                if (!display.empty()) {
                    partial(display);
                }
            };
        }
        ExplainResult result = answer(text, question, level, shown);
        const bool current = [&] {
            const std::lock_guard lock(turn_);
            return generation == latest_;
        }();
        completion(current ? std::move(result) : ExplainResult::superseded());
    });
}

void ModelService::prepare(Level level) {
    readyLocal(level, false);
}

void ModelService::startEarly(Level level) {
    readyLocal(level, true);
}

void ModelService::readyLocal(Level level, bool start) {
    const std::uint64_t generation = [this] {
        const std::lock_guard lock(turn_);
        return latest_;
    }();
    queue_.async([this, generation, level, start] {
        {
            // Whatever was asked since is worth more than a warm cache.
            const std::lock_guard lock(turn_);
            if (generation != latest_ || quitting_) {
                return;
            }
        }
        try {
            const APIKeyStore keys(*deps_.secrets);
            if (ModelPreferences::load(*deps_.preferences, keys).provider == ModelProvider::local) {
                if (start) {
                    deps_.local->startEarly(level);
                } else {
                    deps_.local->prepare(level);
                }
            }
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception&) {
            // Preparing is an optimisation; the explanation reports real failures.
        }
    });
}

ExplainResult ModelService::answer(const std::string& text, const std::optional<std::string>& question,
                                   Level level, const Partial& partial) {
    try {
        return ExplainResult::success(
            finishedAnswer(configuredAnswer(text, question, level, partial), level));
    } catch (...) {
        std::exception_ptr firstError = std::current_exception();
        if (isRaised(deps_.stop)) {
            return ExplainResult::failure(firstError); // replaced or quitting: no second chance either
        }
        try {
            const APIKeyStore keys(*deps_.secrets);
            if (!question &&
                ModelPreferences::load(*deps_.preferences, keys).provider == ModelProvider::local) {
                if (std::optional<std::string> second = deps_.onDevice->foundationAnswer(text, level)) {
                    return ExplainResult::success(finishedAnswer(ChatAnswer::whole(*second), level));
                }
            }
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            // The second chance never reports errors of its own; the first failure stands.
        }
        return ExplainResult::failure(firstError);
    }
}

ChatAnswer ModelService::configuredAnswer(const std::string& text, const std::optional<std::string>& question,
                                          Level level, const LocalModel::PartialText& partial) {
    const APIKeyStore keys(*deps_.secrets);
    const ModelPreferences preferences = ModelPreferences::load(*deps_.preferences, keys);
    if (preferences.provider == ModelProvider::local) {
        Result<std::string> local = deps_.local->streamedLocalAnswer(text, question, level, partial);
        if (!local) {
            throw ModelFailure(local.failure().message);
        }
        return ChatAnswer::whole(std::move(local).value());
    }
    const std::string key = keys.read(preferences.provider);
    if (key.empty()) {
        throw ModelFailure("Add an API key in Settings first.");
    }
    if (!isSendableKey(key)) {
        throw ModelFailure(
            "The stored API key contains characters that cannot be sent. Enter it again in Settings.");
    }
    return cloudAnswer(text, question, level, preferences, key, partial);
}

RequestAdaptation ModelService::adaptationFor(const std::string& connection) {
    const std::lock_guard lock(adaptationsMutex_);
    const auto found = adaptations_.find(connection);
    return found == adaptations_.end() ? RequestAdaptation{} : found->second;
}

void ModelService::remember(const std::string& connection, const std::string& member,
                            const std::string& replacement) {
    const std::lock_guard lock(adaptationsMutex_);
    adaptations_[connection][member] = replacement;
}

ChatAnswer ModelService::cloudAnswer(const std::string& text, const std::optional<std::string>& question,
                                     Level level, const ModelPreferences& connection, const std::string& key,
                                     const LocalModel::PartialText& partial) {
    const std::string url = trimSlashes(connection.baseURL) + "/chat/completions";
    if (!isParsableUrl(url)) {
        throw ModelFailure("The provider address is invalid.");
    }
    // Checked again for every request: a stored address may predate the check, or come from another
    // writer of the preferences file.
    if (!isPrivateProviderAddress(url)) {
        throw ModelFailure(providerAddressMessage);
    }
    const std::string language = deps_.responseLanguage ? deps_.responseLanguage() : std::string();
    ChatExchange exchange;
    exchange.url = url;
    exchange.bearer = key;
    exchange.model = connection.model;
    exchange.setMessages(text, question, level, language);
    exchange.temperature = cloudTemperature(level);
    exchange.timeout = deps_.requestTimeout;
    exchange.deadline = deps_.requestDeadline;
    exchange.stop = deps_.stop;
    exchange.onPartial = partial;
    applyProviderRules(exchange, connection.provider);
    const std::string learnt =
        std::string(rawValue(connection.provider)) + '\n' + url + '\n' + connection.model;
    for (const auto& [member, replacement] : adaptationFor(learnt)) {
        exchange.adaptation[member] = replacement;
    }
    const ChatFailureMessages messages{
        "The selected provider could not answer.", "The selected provider returned an unreadable answer.",
        "The selected provider did not respond. Check Settings and try again.",
        connection.provider == ModelProvider::custom ? std::string("The provider")
                                                     : std::string(label(connection.provider))};
    for (int adapted = 0;; ++adapted) {
        try {
            return exchangeChatAnswer(*deps_.transport, exchange, messages);
        } catch (const ProviderRefusal& refusal) {
            // A 400 that names a member this provider or model does not take: once more without it (or
            // with its documented replacement), and never again with it for the program's life.
            const auto change = requestChange(refusal.error(), buildChatRequest(exchange).body);
            if (adapted == maxAdaptations || !change || isRaised(deps_.stop)) {
                throw;
            }
            exchange.adaptation[change->first] = change->second;
            remember(learnt, change->first, change->second);
        }
    }
}

} // namespace ulvo
