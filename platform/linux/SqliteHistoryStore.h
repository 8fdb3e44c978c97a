#pragma once

#include "base/Result.h"
#include "history/HistoryStore.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>

namespace ulvo {

// The history in one SQLite file (WAL, full sync, secure delete) with a full-text index over the
// selection, the answer and the follow-ups. The file and its companions are the user's alone (0600).
class SqliteHistoryStore final : public HistoryStore {
public:
    // $XDG_DATA_HOME/ulvo/history.sqlite (~/.local/share when unset).
    static std::filesystem::path defaultPath();
    // Creates the folder (0700) and the file (0600) when missing.
    static Result<std::unique_ptr<SqliteHistoryStore>> open(const std::filesystem::path& path);

    Result<std::int64_t> add(const HistoryEntry& entry) override;
    Result<void> addFollowup(std::int64_t id, const HistoryFollowup& followup) override;
    Result<std::vector<HistoryEntry>> find(const std::string& query, std::size_t limit,
                                           std::size_t offset) override;
    Result<std::optional<HistoryEntry>> entry(std::int64_t id) override;
    Result<void> remove(std::int64_t id) override;
    Result<void> removeAll() override;
    Result<std::size_t> removeBefore(std::int64_t time) override;

    sqlite3* handle() const { return db_.get(); }

private:
    struct Close {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    using DatabasePtr = std::unique_ptr<sqlite3, Close>;
    explicit SqliteHistoryStore(DatabasePtr db)
        : db_(std::move(db)) {}
    // After a removal: the index merged, the file rebuilt and the log emptied, so no removed text stays.
    Result<void> scrub();

    DatabasePtr db_;
};

// The full-text query for what the user typed: every word must appear, each also as a prefix. Empty for
// text without words.
std::string historyMatchQuery(const std::string& typed);

} // namespace ulvo
