#include "model/ModelService.h"

#include "model/ChatRequest.h"
#include "model/Cleanup.h"
#include "model/ModelFailure.h"
#include "model/Url.h"
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
        if (partial) {
            shown = [&, generation](const std::string& raw) {
                const auto now = std::chrono::steady_clock::now();
                if (now - last < partialInterval || isRaised(deps_.stop)) {
                    return;
                }
                last = now;
                if (std::string display = cleanPartial(raw, level); !display.empty()) {
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
    const std::uint64_t generation = [this] {
        const std::lock_guard lock(turn_);
        return latest_;
    }();
    queue_.async([this, generation, level] {
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
                deps_.local->prepare(level);
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
        return ExplainResult::success(cleanedAnswer(configuredAnswer(text, question, level, partial), level));
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
                    return ExplainResult::success(cleanedAnswer(*second, level));
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

std::string ModelService::configuredAnswer(const std::string& text,
                                           const std::optional<std::string>& question, Level level,
                                           const LocalModel::PartialText& partial) {
    const APIKeyStore keys(*deps_.secrets);
    const ModelPreferences preferences = ModelPreferences::load(*deps_.preferences, keys);
    if (preferences.provider == ModelProvider::local) {
        return deps_.local->streamedLocalAnswer(text, question, level, partial);
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

std::string ModelService::cloudAnswer(const std::string& text, const std::optional<std::string>& question,
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
    exchange.stop = deps_.stop;
    exchange.onPartial = partial;
    return exchangeChat(*deps_.transport, exchange,
                        {"The selected provider could not answer. Check Settings and try again.",
                         "The selected provider returned an unreadable answer.",
                         "The selected provider did not respond. Check Settings and try again."});
}

} // namespace ulvo
