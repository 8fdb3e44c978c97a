#include "history/History.h"

#include <chrono>

namespace ulvo {

History::History(Options options)
    : options_(std::move(options)) {
    if (!options_.clock) {
        options_.clock = [] {
            return std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                .count();
        };
    }
}

HistorySettings History::currentSettings() const {
    return options_.preferences ? HistorySettings::load(*options_.preferences) : HistorySettings{};
}

HistoryStore* History::store() {
    if (!store_) {
        Result<std::unique_ptr<HistoryStore>> opened = options_.open();
        if (!opened) {
            fail(opened.failure().message);
            return nullptr;
        }
        store_ = std::move(opened).value();
    }
    return store_.get();
}

void History::fail(const std::string& message) {
    if (options_.failed && options_.toMainThread) {
        options_.toMainThread([failed = options_.failed, message] { failed(message); });
    }
}

template <class T> void History::reply(std::function<void(T)> done, T value) {
    if (done && options_.toMainThread) {
        options_.toMainThread(
            [done = std::move(done), value = std::move(value)]() mutable { done(std::move(value)); });
    }
}

void History::keep(std::string selection, Level level, std::optional<std::string> question,
                   std::string answer) {
    queue_.async([this, selection = std::move(selection), level, question = std::move(question),
                  answer = std::move(answer)] {
        if (!currentSettings().keep) {
            current_.reset();
            return;
        }
        HistoryStore* kept = store();
        if (kept == nullptr) {
            current_.reset();
            return;
        }
        if (question && current_ && current_->second == selection) {
            if (Result<void> added = kept->addFollowup(current_->first, {*question, answer}); !added) {
                fail(added.failure().message);
            }
            return;
        }
        HistoryEntry entry;
        entry.time = options_.clock();
        entry.selection = selection;
        entry.level = level;
        if (question) {
            entry.followups.push_back({*question, answer});
        } else {
            entry.answer = answer;
        }
        if (options_.connection) {
            std::tie(entry.provider, entry.model) = options_.connection();
        }
        Result<std::int64_t> id = kept->add(entry);
        current_ = id ? std::optional(std::pair(id.value(), selection)) : std::nullopt;
        if (!id) {
            fail(id.failure().message);
        }
    });
}

void History::reopened(std::int64_t id, std::string selection) {
    queue_.async([this, id, selection = std::move(selection)] { current_ = std::pair(id, selection); });
}

void History::pruneOld() {
    queue_.async([this] {
        const HistorySettings settings = currentSettings();
        // Off: nothing is opened, and what an earlier "on" kept stays until the user deletes it.
        if (!settings.keep) {
            return;
        }
        if (HistoryStore* kept = store()) {
            const std::int64_t oldest = options_.clock() - std::int64_t{settings.days} * 24 * 60 * 60;
            if (Result<std::size_t> pruned = kept->removeBefore(oldest); !pruned) {
                fail(pruned.failure().message);
            }
        }
    });
}

void History::find(std::string query, std::size_t limit, std::size_t offset,
                   std::function<void(Result<std::vector<HistoryEntry>>)> done) {
    queue_.async([this, query = std::move(query), limit, offset, done = std::move(done)]() mutable {
        HistoryStore* kept = store();
        reply<Result<std::vector<HistoryEntry>>>(
            std::move(done),
            kept != nullptr ? kept->find(query, limit, offset)
                            : Result<std::vector<HistoryEntry>>(Failure{"The history cannot be opened.", 0}));
    });
}

void History::entry(std::int64_t id, std::function<void(Result<std::optional<HistoryEntry>>)> done) {
    queue_.async([this, id, done = std::move(done)]() mutable {
        HistoryStore* kept = store();
        reply<Result<std::optional<HistoryEntry>>>(
            std::move(done), kept != nullptr ? kept->entry(id)
                                             : Result<std::optional<HistoryEntry>>(
                                                   Failure{"The history cannot be opened.", 0}));
    });
}

void History::remove(std::int64_t id, std::function<void(Result<void>)> done) {
    queue_.async([this, id, done = std::move(done)]() mutable {
        if (current_ && current_->first == id) {
            current_.reset();
        }
        HistoryStore* kept = store();
        reply<Result<void>>(std::move(done), kept != nullptr
                                                 ? kept->remove(id)
                                                 : Result<void>(Failure{"The history cannot be opened.", 0}));
    });
}

void History::removeAll(std::function<void(Result<void>)> done) {
    queue_.async([this, done = std::move(done)]() mutable {
        current_.reset();
        HistoryStore* kept = store();
        reply<Result<void>>(std::move(done), kept != nullptr
                                                 ? kept->removeAll()
                                                 : Result<void>(Failure{"The history cannot be opened.", 0}));
    });
}

void History::settings(std::function<void(HistorySettings)> done) {
    queue_.async([this, done = std::move(done)]() mutable { reply(std::move(done), currentSettings()); });
}

void History::setSettings(HistorySettings settings, std::function<void(bool)> done) {
    queue_.async([this, settings, done = std::move(done)]() mutable {
        const bool saved = options_.preferences && settings.save(*options_.preferences);
        if (!settings.keep) {
            current_.reset();
        }
        reply(std::move(done), saved);
    });
}

} // namespace ulvo
