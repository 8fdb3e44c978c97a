#include "model/ModelService.h"

#include "model/ChatRequest.h"
#include "model/Cleanup.h"
#include "model/ModelFailure.h"
#include "model/Url.h"
#include "settings/APIKeyStore.h"
#include "settings/ModelPreferences.h"

#include <algorithm>

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
    deps_.stop->store(true);
    queue_.discardPending();
}

void ModelService::explain(std::string text, std::optional<std::string> question, Level level,
                           Completion completion) {
    queue_.async([this, text = std::move(text), question = std::move(question), level,
                  completion = std::move(completion)] { completion(answer(text, question, level)); });
}

ExplainResult ModelService::answer(const std::string& text, const std::optional<std::string>& question,
                                   Level level) {
    try {
        return ExplainResult::success(cleanedAnswer(configuredAnswer(text, question, level), level));
    } catch (...) {
        std::exception_ptr firstError = std::current_exception();
        try {
            const APIKeyStore keys(*deps_.secrets);
            if (!question &&
                ModelPreferences::load(*deps_.preferences, keys).provider == ModelProvider::local) {
                if (std::optional<std::string> second = deps_.onDevice->foundationAnswer(text, level)) {
                    return ExplainResult::success(cleanedAnswer(*second, level));
                }
            }
        } catch (...) {
            // The second chance never reports errors of its own; the first failure stands.
        }
        return ExplainResult::failure(firstError);
    }
}

std::string ModelService::configuredAnswer(const std::string& text,
                                           const std::optional<std::string>& question, Level level) {
    const APIKeyStore keys(*deps_.secrets);
    const ModelPreferences preferences = ModelPreferences::load(*deps_.preferences, keys);
    if (preferences.provider == ModelProvider::local) {
        return deps_.local->localAnswer(text, question, level);
    }
    const std::string key = keys.read(preferences.provider);
    if (key.empty()) {
        throw ModelFailure("Add an API key in Settings first.");
    }
    if (!isSendableKey(key)) {
        throw ModelFailure(
            "The stored API key contains characters that cannot be sent. Enter it again in Settings.");
    }
    return cloudAnswer(text, question, level, preferences, key);
}

std::string ModelService::cloudAnswer(const std::string& text, const std::optional<std::string>& question,
                                      Level level, const ModelPreferences& connection,
                                      const std::string& key) {
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
    return exchangeChat(*deps_.transport, exchange,
                        {"The selected provider could not answer. Check Settings and try again.",
                         "The selected provider returned an unreadable answer.",
                         "The selected provider did not respond. Check Settings and try again."});
}

} // namespace ulvo
