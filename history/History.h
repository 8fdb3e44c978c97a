#pragma once

#include "base/Result.h"
#include "base/SerialQueue.h"
#include "history/HistoryEntry.h"
#include "history/HistorySettings.h"
#include "history/HistoryStore.h"
#include "settings/PreferenceStore.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ulvo {

// The private history of explanations. Every call returns at once: the store is opened, written and read
// on a worker thread of its own, so keeping an entry costs the caller a queue push. Nothing is opened or
// written while "Keep a history" is off.
class History {
public:
    using Poster = std::function<void(std::function<void()>)>;
    struct Options {
        // Opens the store at its first use (never while the history is off).
        std::function<Result<std::unique_ptr<HistoryStore>>()> open;
        std::shared_ptr<PreferenceStore> preferences;
        // The provider's name and the model that answer now; read on the worker.
        std::function<std::pair<std::string, std::string>()> connection;
        // Seconds since the epoch; the system clock when unset.
        std::function<std::int64_t()> clock;
        // Runs completions on the caller's (main) thread.
        Poster toMainThread;
        // A write failed: the words for the user, on the main thread.
        std::function<void(const std::string&)> failed;
    };

    explicit History(Options options);
    // Waits for what is queued: nothing handed over is dropped.
    ~History() = default;
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // A finished explanation (no question) or follow-up reached the card. A follow-up joins the entry of
    // the explanation before it (or of the entry reopened) when it is about the same text, else starts
    // one of its own.
    void keep(std::string selection, Level level, std::optional<std::string> question, std::string answer);
    // The card shows a stored entry again: follow-ups asked now join it.
    void reopened(std::int64_t id, std::string selection);
    // Removes entries older than the days kept.
    void pruneOld();

    void find(std::string query, std::size_t limit, std::size_t offset,
              std::function<void(Result<std::vector<HistoryEntry>>)> done);
    void entry(std::int64_t id, std::function<void(Result<std::optional<HistoryEntry>>)> done);
    void remove(std::int64_t id, std::function<void(Result<void>)> done);
    void removeAll(std::function<void(Result<void>)> done);
    void settings(std::function<void(HistorySettings)> done);
    // Saved, and with the history off nothing more is kept; done gets whether the save worked.
    void setSettings(HistorySettings settings, std::function<void(bool)> done);

private:
    // Worker only. Null (and the failure said) when the store cannot be opened.
    HistoryStore* store();
    HistorySettings currentSettings() const;
    template <class T> void reply(std::function<void(T)> done, T value);
    void fail(const std::string& message);

    Options options_;
    // Worker-only state.
    std::unique_ptr<HistoryStore> store_;
    // The entry follow-ups join, and its text.
    std::optional<std::pair<std::int64_t, std::string>> current_;
    // Last, so it is joined before the state its tasks use goes.
    SerialQueue queue_{"ulvo.history"};
};

} // namespace ulvo
