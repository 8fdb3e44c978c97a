#pragma once

#include "answer/ExplainResult.h"
#include "answer/Level.h"
#include "base/Lifetime.h"
#include "card/Speaker.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ulvo {

// The level the page sends: a finite number truncated towards zero and saturated to the integer range;
// anything else (missing, not a number, NaN, infinite) is the default level.
Level levelFromPage(const nlohmann::json* value);

// One message of the card page, as the native side understands it.
struct CardMessage { // NOLINT(bugprone-exception-escape): json moves without throwing; its check only asserts
    enum class Action {
        close,
        copy,
        requestSelection,
        explain,
        followup,
        downloadModel,
        openSettings,
        speak,
        openHistory
    };
    Action action = Action::close;
    std::string text;                       // "copy", "speak": the text, empty when missing or not a string
    std::optional<std::string> requestText; // "explain"/"followup": absent when missing or not a string
    Level level = defaultLevel;
    std::optional<std::string> question; // "followup" only
    nlohmann::json id;                   // "explain"/"followup": the page's number for the request, echoed

    bool operator==(const CardMessage&) const = default;
};

// Absent for a body that is not an object, has no string "action", or names an unknown action.
std::optional<CardMessage> parseCardMessage(const nlohmann::json& body);

// "window.ULVO.<name>(<payload>)" with the payload as an inert script literal.
std::string cardCallScript(std::string_view name, const nlohmann::json& payload);

// Dropped into the page when its header is pressed, so a drag does not select or type into the page.
inline constexpr const char* focusResetScript =
    "document.activeElement&&document.activeElement.blur&&document.activeElement.blur();"
    "window.getSelection&&window.getSelection().removeAllRanges()";

inline constexpr const char* missingTextMessage = "Select or paste some text first.";

// What the card's bridge needs from the desktop; every call is made on the main thread.
class CardHost {
public:
    virtual ~CardHost() = default;
    virtual void evaluateScript(const std::string& script) = 0; // fire and forget
    virtual void hidePanel() = 0;
    virtual void copyText(const std::string& text) = 0;
    virtual void captureSelectionAndShow() = 0;
    virtual bool accessibilityTrusted() = 0;
    virtual const std::string& pendingSelection() const = 0;
    // The missing-model error's two ways on: the built-in model's download, or Settings.
    virtual void downloadModel() {}
    virtual void showSettings() {}
    virtual void showHistory() {}
};

// Runs a task on the main thread later; callable from any thread.
using MainThreadPoster = std::function<void(std::function<void()>)>;
// The answer service as the card uses it.
struct CardAnswers {
    // Returns at once; the completion runs once, and partial (the answer so far) any number of times
    // before it, on another thread. A newer request supersedes it.
    std::function<void(std::string text, std::optional<std::string> question, Level level,
                       std::function<void(ExplainResult)> completion,
                       std::function<void(const std::string&)> partial)>
        explain;
    std::function<void()> cancel;       // ends what is in flight; optional
    std::function<void(Level)> prepare; // readies a first explanation at a level; optional
};

// A finished explanation (no question) or follow-up that reached the page, for the history. Called on
// the main thread; must return at once.
using CardKeeper = std::function<void(const std::string& text, Level level,
                                      const std::optional<std::string>& question, const std::string& answer)>;

// Both directions of the card page protocol. Lives on the main thread; answers that arrive after it
// is gone, and anything of a request a newer one replaced, are dropped: only the latest request's
// partial text and final answer reach the page.
class CardBridge {
public:
    CardBridge(CardHost& host, CardAnswers answers, MainThreadPoster toMainThread);

    void didReceiveScriptMessage(const nlohmann::json& body);
    // A page that loaded while the card is hidden (made ahead of it) gets the selection when it shows.
    void didFinishNavigation(bool cardShown = true);
    // The card was shown: the answer service readies itself for the level last asked for.
    void cardOpened();
    // The card was hidden: what is in flight is ended.
    void cardClosed();
    void callJavaScript(std::string_view name, const nlohmann::json& payload);
    void sendSelection();
    void setAccessibility(bool trusted);

    void setKeeper(CardKeeper keeper) { keeper_ = std::move(keeper); }
    // Read aloud: the page's button shows while the speaker is available; language() is the answers'.
    void setSpeaker(Speaker* speaker, std::function<std::string()> language);
    // The speaker's availability became known.
    void speechChanged();
    // Shows a kept explanation (an entry payload of the history) with its answer; nothing is asked.
    void showStored(nlohmann::json entry);
    // A new selection arrived: it, not the kept entry, is what the card shows.
    void forgetStored() { stored_.reset(); }
    // A write to the history failed: the card says so and goes on.
    void historyFailed(const std::string& message);

private:
    void requestAnswer(const CardMessage& message);
    void toggleSpeech(const std::string& text);
    void stopSpeaking();

    CardHost& host_;
    CardAnswers answers_;
    MainThreadPoster toMainThread_;
    std::uint64_t latest_ = 0; // the bridge's own count of requests, so stale answers are recognised
    Level lastLevel_ = defaultLevel;
    CardKeeper keeper_;
    Speaker* speaker_ = nullptr;
    std::function<std::string()> language_;
    std::uint64_t speech_ = 0; // the utterance the page shows as speaking; 0 for none
    std::uint64_t speechCount_ = 0;
    std::optional<nlohmann::json> stored_; // the kept entry shown instead of the selection
    Lifetime<CardBridge> lifetime_{this};
};

} // namespace ulvo
