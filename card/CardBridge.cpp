#include "card/CardBridge.h"

#include "answer/LevelNumber.h"
#include "answer/LocalModel.h"
#include "base/Text.h"

namespace ulvo {

Level levelFromPage(const nlohmann::json* value) {
    return value == nullptr ? defaultLevel : levelFromNumber(*value).value_or(defaultLevel);
}

namespace {

const nlohmann::json* member(const nlohmann::json& body, const char* key) {
    const auto found = body.find(key);
    return found == body.end() ? nullptr : &*found;
}

std::optional<std::string> stringMember(const nlohmann::json& body, const char* key) {
    const nlohmann::json* value = member(body, key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

} // namespace

std::optional<CardMessage> parseCardMessage(const nlohmann::json& body) {
    if (!body.is_object()) {
        return std::nullopt;
    }
    const std::optional<std::string> action = stringMember(body, "action");
    if (!action) {
        return std::nullopt;
    }
    CardMessage message;
    if (*action == "close") {
        message.action = CardMessage::Action::close;
    } else if (*action == "copy") {
        message.action = CardMessage::Action::copy;
        message.text = stringMember(body, "text").value_or("");
    } else if (*action == "request-selection") {
        message.action = CardMessage::Action::requestSelection;
    } else if (*action == "download-model") {
        message.action = CardMessage::Action::downloadModel;
    } else if (*action == "open-settings") {
        message.action = CardMessage::Action::openSettings;
    } else if (*action == "speak") {
        message.action = CardMessage::Action::speak;
        message.text = stringMember(body, "text").value_or("");
    } else if (*action == "open-history") {
        message.action = CardMessage::Action::openHistory;
    } else if (*action == "explain" || *action == "followup") {
        message.action = *action == "explain" ? CardMessage::Action::explain : CardMessage::Action::followup;
        message.requestText = stringMember(body, "text");
        message.level = levelFromPage(member(body, "level"));
        if (const nlohmann::json* id = member(body, "id"); id != nullptr && id->is_number()) {
            message.id = *id;
        }
        if (message.action == CardMessage::Action::followup) {
            message.question = stringMember(body, "question");
        }
    } else {
        return std::nullopt;
    }
    return message;
}

std::string cardCallScript(std::string_view name, const nlohmann::json& payload) {
    return "window.ULVO." + std::string(name) + "(" + scriptLiteral(payload) + ")";
}

CardBridge::CardBridge(CardHost& host, CardAnswers answers, MainThreadPoster toMainThread)
    : host_(host)
    , answers_(std::move(answers))
    , toMainThread_(std::move(toMainThread)) {}

void CardBridge::cardOpened() {
    if (answers_.prepare) {
        answers_.prepare(lastLevel_);
    }
}

void CardBridge::cardClosed() {
    ++latest_;
    stopSpeaking();
    if (answers_.cancel) {
        answers_.cancel();
    }
    callJavaScript("cancelOpen", nlohmann::json::object());
}

void CardBridge::callJavaScript(std::string_view name, const nlohmann::json& payload) {
    host_.evaluateScript(cardCallScript(name, payload));
}

void CardBridge::sendSelection() {
    if (stored_) {
        callJavaScript("showStored", *stored_);
    } else if (!host_.pendingSelection().empty()) {
        callJavaScript("setSelection", {{"text", host_.pendingSelection()}});
    }
}

void CardBridge::setAccessibility(bool trusted) {
    callJavaScript("setAccessibility", {{"trusted", trusted}});
}

void CardBridge::didFinishNavigation(bool cardShown) {
    setAccessibility(host_.accessibilityTrusted());
    speechChanged();
    // A page made again after an idle spell starts where the user left the level.
    if (lastLevel_ != defaultLevel) {
        callJavaScript("setLevel", {{"level", lastLevel_}});
    }
    if (cardShown) {
        sendSelection();
    }
}

void CardBridge::didReceiveScriptMessage(const nlohmann::json& body) {
    const std::optional<CardMessage> message = parseCardMessage(body);
    if (!message) {
        return;
    }
    switch (message->action) {
    case CardMessage::Action::close:
        host_.hidePanel();
        return;
    case CardMessage::Action::copy:
        host_.copyText(message->text);
        return;
    case CardMessage::Action::requestSelection:
        host_.captureSelectionAndShow();
        return;
    case CardMessage::Action::downloadModel:
        host_.downloadModel();
        return;
    case CardMessage::Action::openSettings:
        host_.showSettings();
        return;
    case CardMessage::Action::openHistory:
        host_.showHistory();
        return;
    case CardMessage::Action::speak:
        toggleSpeech(message->text);
        return;
    case CardMessage::Action::explain:
    case CardMessage::Action::followup:
        requestAnswer(*message);
        return;
    }
}

void CardBridge::setSpeaker(Speaker* speaker, std::function<std::string()> language) {
    speaker_ = speaker;
    language_ = std::move(language);
}

void CardBridge::speechChanged() {
    callJavaScript("setSpeech", {{"available", speaker_ != nullptr && speaker_->available()}});
}

void CardBridge::toggleSpeech(const std::string& text) {
    if (speech_ != 0) {
        stopSpeaking();
        return;
    }
    if (speaker_ == nullptr || !speaker_->available() || isBlank(text)) {
        return;
    }
    const std::uint64_t utterance = speech_ = ++speechCount_;
    MainThreadPoster toMain = toMainThread_;
    speaker_->speak(text, language_ ? language_() : std::string(),
                    [toMain, watch = lifetime_.watch(), utterance] {
                        toMain([watch, utterance] {
                            CardBridge* self = watch.get();
                            if (self != nullptr && self->speech_ == utterance) {
                                self->speech_ = 0;
                                self->callJavaScript("speechState", {{"speaking", false}});
                            }
                        });
                    });
    callJavaScript("speechState", {{"speaking", true}});
}

void CardBridge::stopSpeaking() {
    if (speech_ == 0) {
        return;
    }
    speech_ = 0;
    speaker_->stop();
    callJavaScript("speechState", {{"speaking", false}});
}

void CardBridge::showStored(nlohmann::json entry) {
    ++latest_;
    stopSpeaking();
    if (answers_.cancel) {
        answers_.cancel();
    }
    stored_ = std::move(entry);
    sendSelection();
}

void CardBridge::historyFailed(const std::string& message) {
    callJavaScript("historyFailed", {{"message", message}});
}

void CardBridge::requestAnswer(const CardMessage& message) {
    const std::uint64_t serial = ++latest_;
    // A new answer is coming: the old one is no longer read, and the card is no longer a kept entry.
    stopSpeaking();
    stored_.reset();
    if (!message.requestText || isBlank(*message.requestText)) {
        callJavaScript("receiveError", {{"message", missingTextMessage}, {"id", message.id}});
        return;
    }
    lastLevel_ = message.level;
    const bool followup = message.question.has_value();
    const nlohmann::json id = message.id;
    MainThreadPoster toMain = toMainThread_;
    // Runs on the main thread: the bridge is still there and this is still the latest request.
    auto current = [watch = lifetime_.watch(), serial]() -> CardBridge* {
        CardBridge* self = watch.get();
        return self != nullptr && self->latest_ == serial ? self : nullptr;
    };
    answers_.explain(
        *message.requestText, message.question, message.level,
        [toMain, current, followup, id, text = *message.requestText, level = message.level,
         question = message.question](ExplainResult result) {
            if (result.isSuperseded()) {
                return;
            }
            toMain([current, followup, id, text, level, question, result = std::move(result)] {
                CardBridge* self = current();
                if (self == nullptr) {
                    return;
                }
                if (result.ok()) {
                    self->callJavaScript("receiveResult",
                                         {{"text", result.answer()}, {"followup", followup}, {"id", id}});
                    if (self->keeper_) {
                        self->keeper_(text, level, question, result.answer());
                    }
                } else {
                    const std::string error = result.errorMessage();
                    // The built-in model not installed yet: the card offers its download.
                    self->callJavaScript(
                        "receiveError",
                        {{"message", error}, {"id", id}, {"modelMissing", error == modelIncompleteMessage}});
                }
            });
        },
        [toMain, current, id](const std::string& partial) {
            toMain([current, id, partial] {
                if (CardBridge* self = current()) {
                    self->callJavaScript("receivePartial", {{"text", partial}, {"id", id}});
                }
            });
        });
}

} // namespace ulvo
