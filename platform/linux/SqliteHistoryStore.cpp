#include "platform/linux/SqliteHistoryStore.h"

#include "platform/linux/FileDescriptor.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace ulvo {

namespace {

struct Finalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, Finalize>;

Failure failureOf(sqlite3* db, const char* what) {
    const int code = sqlite3_extended_errcode(db);
    std::string reason = sqlite3_errmsg(db);
    if ((code & 0xff) == SQLITE_FULL) {
        reason = "the disk is full";
    }
    return Failure{std::string(what) + ": " + reason, code};
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the statement, then what it does for messages
Result<void> execute(sqlite3* db, const char* sql, const char* what) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return failureOf(db, what);
    }
    return {};
}

Result<StatementPtr> prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        return failureOf(db, "The history cannot be read");
    }
    return StatementPtr(raw);
}

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* statement, int index) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
    return text != nullptr
               ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, index)))
               : std::string();
}

std::string followupsJson(const std::vector<HistoryFollowup>& followups) {
    nlohmann::json list = nlohmann::json::array();
    for (const HistoryFollowup& followup : followups) {
        list.push_back({{"question", followup.question}, {"answer", followup.answer}});
    }
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<HistoryFollowup> followupsFromJson(const std::string& text) {
    std::vector<HistoryFollowup> followups;
    const nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
    if (!list.is_array()) {
        return followups;
    }
    for (const nlohmann::json& item : list) {
        if (item.is_object()) {
            followups.push_back({item.value("question", ""), item.value("answer", "")});
        }
    }
    return followups;
}

// What the index holds of the follow-ups: their words, without the stored layout's keys.
std::string followupsText(const std::vector<HistoryFollowup>& followups) {
    std::string text;
    for (const HistoryFollowup& followup : followups) {
        text += followup.question + "\n" + followup.answer + "\n";
    }
    return text;
}

constexpr const char* entryColumns =
    "e.id, e.time, e.level, e.selection, e.answer, e.followups, e.provider, e.model";

HistoryEntry entryFromRow(sqlite3_stmt* statement) {
    HistoryEntry entry;
    entry.id = sqlite3_column_int64(statement, 0);
    entry.time = sqlite3_column_int64(statement, 1);
    entry.level = sqlite3_column_int64(statement, 2);
    entry.selection = columnText(statement, 3);
    entry.answer = columnText(statement, 4);
    entry.followups = followupsFromJson(columnText(statement, 5));
    entry.provider = columnText(statement, 6);
    entry.model = columnText(statement, 7);
    return entry;
}

// Everything in one transaction: an entry and its index row are kept together or not at all.
class Transaction {
public:
    explicit Transaction(sqlite3* db)
        : db_(db)
        , begun_(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {}
    ~Transaction() {
        if (begun_ && !committed_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool begun() const { return begun_; }
    bool commit() {
        committed_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        return committed_;
    }

private:
    sqlite3* db_;
    bool begun_;
    bool committed_ = false;
};

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS entries(
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL,
    level INTEGER NOT NULL,
    selection TEXT NOT NULL,
    answer TEXT NOT NULL,
    followups TEXT NOT NULL DEFAULT '[]',
    provider TEXT NOT NULL,
    model TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS entries_by_time ON entries(time, id);
CREATE VIRTUAL TABLE IF NOT EXISTS entries_text USING fts5(
    selection, answer, followups, tokenize = 'unicode61 remove_diacritics 2');
)sql";

} // namespace

std::filesystem::path SqliteHistoryStore::defaultPath() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (dataHome != nullptr && dataHome[0] == '/') {
        base = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : "") / ".local" / "share";
    }
    return base / "ulvo" / "history.sqlite";
}

Result<std::unique_ptr<SqliteHistoryStore>> SqliteHistoryStore::open(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::path folder = path.parent_path();
    if (!std::filesystem::is_directory(folder, error)) {
        std::filesystem::create_directories(folder, error);
        if (error) {
            return Failure{"The history's folder cannot be made: " + error.message(), error.value()};
        }
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    }
    // Made by us with the owner's rights only; SQLite gives its log and index files the same.
    {
        const FileDescriptor file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (file.get() < 0 || ::fchmod(file.get(), 0600) != 0) {
            return Failure{"The history file cannot be opened: " + std::string(std::strerror(errno)), errno};
        }
    }
    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    DatabasePtr db(raw);
    if (opened != SQLITE_OK) {
        return Failure{"The history file cannot be opened: " + std::string(sqlite3_errstr(opened)), opened};
    }
    sqlite3_busy_timeout(db.get(), 2000);
    // WAL with a sync at each commit: an entry acknowledged is on the disk, whatever ends the program.
    if (Result<void> set =
            execute(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA secure_delete=ON;",
                    "The history file cannot be set up");
        !set) {
        return set.failure();
    }
    if (Result<void> made = execute(db.get(), schema, "The history file cannot be set up"); !made) {
        return made.failure();
    }
    return std::unique_ptr<SqliteHistoryStore>(new SqliteHistoryStore(std::move(db)));
}

Result<std::int64_t> SqliteHistoryStore::add(const HistoryEntry& entry) {
    sqlite3* db = db_.get();
    Transaction transaction(db);
    if (!transaction.begun()) {
        return failureOf(db, "The explanation was not kept in the history");
    }
    Result<StatementPtr> insert =
        prepare(db, "INSERT INTO entries(time, level, selection, answer, followups, "
                    "provider, model) VALUES(?, ?, ?, ?, ?, ?, ?)");
    if (!insert) {
        return insert.failure();
    }
    sqlite3_bind_int64(insert->get(), 1, entry.time);
    sqlite3_bind_int64(insert->get(), 2, entry.level);
    bindText(insert->get(), 3, entry.selection);
    bindText(insert->get(), 4, entry.answer);
    bindText(insert->get(), 5, followupsJson(entry.followups));
    bindText(insert->get(), 6, entry.provider);
    bindText(insert->get(), 7, entry.model);
    if (sqlite3_step(insert->get()) != SQLITE_DONE) {
        return failureOf(db, "The explanation was not kept in the history");
    }
    const std::int64_t id = sqlite3_last_insert_rowid(db);
    Result<StatementPtr> index =
        prepare(db, "INSERT INTO entries_text(rowid, selection, answer, followups) VALUES(?, ?, ?, ?)");
    if (!index) {
        return index.failure();
    }
    sqlite3_bind_int64(index->get(), 1, id);
    bindText(index->get(), 2, entry.selection);
    bindText(index->get(), 3, entry.answer);
    bindText(index->get(), 4, followupsText(entry.followups));
    if (sqlite3_step(index->get()) != SQLITE_DONE || !transaction.commit()) {
        return failureOf(db, "The explanation was not kept in the history");
    }
    return id;
}

Result<void> SqliteHistoryStore::addFollowup(std::int64_t id, const HistoryFollowup& followup) {
    sqlite3* db = db_.get();
    Transaction transaction(db);
    if (!transaction.begun()) {
        return failureOf(db, "The follow-up was not kept in the history");
    }
    Result<std::optional<HistoryEntry>> stored = entry(id);
    if (!stored) {
        return stored.failure();
    }
    if (!stored.value()) {
        return Failure{"The follow-up was not kept: its explanation was deleted from the history", 0};
    }
    std::vector<HistoryFollowup> followups = (*stored)->followups;
    followups.push_back(followup);
    Result<StatementPtr> update = prepare(db, "UPDATE entries SET followups = ? WHERE id = ?");
    Result<StatementPtr> index = prepare(db, "UPDATE entries_text SET followups = ? WHERE rowid = ?");
    if (!update || !index) {
        return failureOf(db, "The follow-up was not kept in the history");
    }
    bindText(update->get(), 1, followupsJson(followups));
    sqlite3_bind_int64(update->get(), 2, id);
    bindText(index->get(), 1, followupsText(followups));
    sqlite3_bind_int64(index->get(), 2, id);
    if (sqlite3_step(update->get()) != SQLITE_DONE || sqlite3_step(index->get()) != SQLITE_DONE ||
        !transaction.commit()) {
        return failureOf(db, "The follow-up was not kept in the history");
    }
    return {};
}

std::string historyMatchQuery(const std::string& typed) {
    std::istringstream words(typed);
    std::string word;
    std::string query;
    while (words >> word) {
        // Only words the index holds: a bare symbol would be a syntax error, or match nothing.
        bool hasWordCharacter = false;
        for (const unsigned char c : word) {
            hasWordCharacter = hasWordCharacter || std::isalnum(c) != 0 || c >= 0x80;
        }
        if (!hasWordCharacter) {
            continue;
        }
        std::string quoted;
        for (const char c : word) {
            quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        }
        query += (query.empty() ? "" : " ") + ("\"" + quoted + "\"*");
    }
    return query;
}

Result<std::vector<HistoryEntry>> SqliteHistoryStore::find(const std::string& query, std::size_t limit,
                                                           std::size_t offset) {
    const std::string match = historyMatchQuery(query);
    const std::string sql =
        match.empty()
            ? std::string("SELECT ") + entryColumns +
                  " FROM entries e ORDER BY e.time DESC, e.id DESC LIMIT ?1 OFFSET ?2"
            : std::string("SELECT ") + entryColumns +
                  " FROM entries_text JOIN entries e ON e.id = entries_text.rowid WHERE entries_text "
                  "MATCH ?3 ORDER BY e.time DESC, e.id DESC LIMIT ?1 OFFSET ?2";
    Result<StatementPtr> select = prepare(db_.get(), sql.c_str());
    if (!select) {
        return select.failure();
    }
    sqlite3_bind_int64(select->get(), 1, static_cast<sqlite3_int64>(limit));
    sqlite3_bind_int64(select->get(), 2, static_cast<sqlite3_int64>(offset));
    if (!match.empty()) {
        bindText(select->get(), 3, match);
    }
    std::vector<HistoryEntry> entries;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(select->get())) == SQLITE_ROW) {
        entries.push_back(entryFromRow(select->get()));
    }
    if (step != SQLITE_DONE) {
        return failureOf(db_.get(), "The history cannot be searched");
    }
    return entries;
}

Result<std::optional<HistoryEntry>> SqliteHistoryStore::entry(std::int64_t id) {
    Result<StatementPtr> select = prepare(
        db_.get(), (std::string("SELECT ") + entryColumns + " FROM entries e WHERE e.id = ?").c_str());
    if (!select) {
        return select.failure();
    }
    sqlite3_bind_int64(select->get(), 1, id);
    const int step = sqlite3_step(select->get());
    if (step == SQLITE_ROW) {
        return std::optional<HistoryEntry>(entryFromRow(select->get()));
    }
    if (step != SQLITE_DONE) {
        return failureOf(db_.get(), "The history cannot be read");
    }
    return std::optional<HistoryEntry>();
}

Result<void> SqliteHistoryStore::scrub() {
    // The index merged into one segment drops the removed words; secure delete zeroes freed pages, the
    // vacuum rebuilds the file and the checkpoint empties the log that still held the old pages.
    if (Result<void> merged = execute(db_.get(), "INSERT INTO entries_text(entries_text) VALUES('optimize')",
                                      "The history cannot be cleaned");
        !merged) {
        return merged;
    }
    if (Result<void> vacuumed = execute(db_.get(), "VACUUM", "The history cannot be cleaned"); !vacuumed) {
        return vacuumed;
    }
    return execute(db_.get(), "PRAGMA wal_checkpoint(TRUNCATE)", "The history cannot be cleaned");
}

Result<void> SqliteHistoryStore::remove(std::int64_t id) {
    sqlite3* db = db_.get();
    {
        Transaction transaction(db);
        Result<StatementPtr> entries = prepare(db, "DELETE FROM entries WHERE id = ?");
        Result<StatementPtr> index = prepare(db, "DELETE FROM entries_text WHERE rowid = ?");
        if (!transaction.begun() || !entries || !index) {
            return failureOf(db, "The entry cannot be deleted");
        }
        sqlite3_bind_int64(entries->get(), 1, id);
        sqlite3_bind_int64(index->get(), 1, id);
        if (sqlite3_step(entries->get()) != SQLITE_DONE || sqlite3_step(index->get()) != SQLITE_DONE ||
            !transaction.commit()) {
            return failureOf(db, "The entry cannot be deleted");
        }
    }
    return scrub();
}

Result<void> SqliteHistoryStore::removeAll() {
    if (Result<void> removed =
            execute(db_.get(), "BEGIN IMMEDIATE; DELETE FROM entries; DELETE FROM entries_text; COMMIT",
                    "The history cannot be deleted");
        !removed) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        return removed;
    }
    return scrub();
}

Result<std::size_t> SqliteHistoryStore::removeBefore(std::int64_t time) {
    sqlite3* db = db_.get();
    std::size_t removed = 0;
    {
        Transaction transaction(db);
        Result<StatementPtr> index =
            prepare(db, "DELETE FROM entries_text WHERE rowid IN (SELECT id FROM entries WHERE time < ?)");
        Result<StatementPtr> entries = prepare(db, "DELETE FROM entries WHERE time < ?");
        if (!transaction.begun() || !entries || !index) {
            return failureOf(db, "Old entries cannot be removed from the history");
        }
        sqlite3_bind_int64(index->get(), 1, time);
        sqlite3_bind_int64(entries->get(), 1, time);
        if (sqlite3_step(index->get()) != SQLITE_DONE || sqlite3_step(entries->get()) != SQLITE_DONE) {
            return failureOf(db, "Old entries cannot be removed from the history");
        }
        removed = static_cast<std::size_t>(sqlite3_changes(db));
        if (!transaction.commit()) {
            return failureOf(db, "Old entries cannot be removed from the history");
        }
    }
    if (removed > 0) {
        if (Result<void> scrubbed = scrub(); !scrubbed) {
            return scrubbed.failure();
        }
    }
    return removed;
}

} // namespace ulvo
