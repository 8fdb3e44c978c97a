// The history in a real SQLite file: search, removal that leaves no text behind, file rights, a program
// killed while writing, a full disk, and the history's keeper and page protocol on top of it.
#include "history/History.h"
#include "history/HistoryBridge.h"
#include "platform/linux/SqliteHistoryStore.h"
#include "tests/support/FakeStores.h"
#include "tests/support/Files.h"
#include "tests/support/TaskQueue.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ulvo {
namespace {

using test::ScratchFolder;

std::unique_ptr<SqliteHistoryStore> openStore(const std::filesystem::path& path) {
    Result<std::unique_ptr<SqliteHistoryStore>> opened = SqliteHistoryStore::open(path);
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.failure().message);
    return opened.ok() ? std::move(opened).value() : nullptr;
}

HistoryEntry makeEntry(std::int64_t time, std::string selection, std::string answer = "An answer.") {
    HistoryEntry entry;
    entry.time = time;
    entry.selection = std::move(selection);
    entry.answer = std::move(answer);
    return entry;
}

std::vector<std::string> selections(const std::vector<HistoryEntry>& entries) {
    std::vector<std::string> texts;
    std::ranges::transform(entries, std::back_inserter(texts), &HistoryEntry::selection);
    return texts;
}

std::string pragma(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    std::string value;
    if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
        value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    return value;
}

TEST(SqliteHistoryStoreTest, FindsNewestFirstByWordsOfSelectionAnswerAndFollowups) {
    const ScratchFolder folder;
    auto store = openStore(folder / "history.sqlite");
    ASSERT_TRUE(store);
    HistoryEntry withFollowup = makeEntry(300, "Mitochondria make energy");
    withFollowup.followups.push_back({"What is ATP?", "Adenosine triphosphate, the cell's fuel."});
    for (const HistoryEntry& entry : {makeEntry(100, "The café opens early"),
                                      makeEntry(200, "Photosynthesis in leaves", "Light into sugar."),
                                      withFollowup, makeEntry(400, "Say \"hello\" to the cell")}) {
        ASSERT_TRUE(store->add(entry).ok());
    }
    const std::vector<std::string> all = {"Say \"hello\" to the cell", "Mitochondria make energy",
                                          "Photosynthesis in leaves", "The café opens early"};
    const struct {
        const char* query;
        std::vector<std::string> expected;
    } cases[] = {
        {"", all},
        {"cell", {"Say \"hello\" to the cell", "Mitochondria make energy"}}, // the second only in a follow-up
        {"photo", {"Photosynthesis in leaves"}},                             // a prefix
        {"sugar light", {"Photosynthesis in leaves"}},                       // every word, in any order
        {"cafe", {"The café opens early"}},                                  // accents aside
        {"\"hello", {"Say \"hello\" to the cell"}},                          // a quote is text
        {"energy photosynthesis", {}},
        {"* ( ) :", all},
        {"NEAR OR", {}}, // the index's operators are words here
    };
    for (const auto& [query, expected] : cases) {
        Result<std::vector<HistoryEntry>> found = store->find(query, 10, 0);
        ASSERT_TRUE(found.ok()) << query << ": " << found.failure().message;
        EXPECT_EQ(selections(*found), expected) << query;
    }
    Result<std::vector<HistoryEntry>> page = store->find("", 2, 1);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(selections(*page), (std::vector<std::string>{all[1], all[2]}));
}

TEST(SqliteHistoryStoreTest, RemovingLeavesNoTextInTheFiles) {
    const ScratchFolder folder;
    const std::filesystem::path path = folder / "history.sqlite";
    auto store = openStore(path);
    ASSERT_TRUE(store);
    const auto fileText = [&] { return test::readFile(path) + test::readFile(path.string() + "-wal"); };
    Result<std::int64_t> secret =
        store->add(makeEntry(1, "quuxsecretword in the selection", "quuxanswerword"));
    ASSERT_TRUE(secret.ok());
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(store->add(makeEntry(2 + i, "kept entry " + std::to_string(i) + " quuxkeptword")).ok());
    }
    ASSERT_NE(fileText().find("quuxsecretword"), std::string::npos);

    ASSERT_TRUE(store->remove(*secret).ok());
    EXPECT_EQ(fileText().find("quuxsecretword"), std::string::npos);
    EXPECT_EQ(fileText().find("quuxanswerword"), std::string::npos);
    EXPECT_EQ(pragma(store->handle(), "PRAGMA freelist_count"), "0");
    EXPECT_EQ(store->find("quuxkeptword", 100, 0)->size(), 50U);

    ASSERT_TRUE(store->removeAll().ok());
    EXPECT_EQ(fileText().find("quuxkeptword"), std::string::npos);
    EXPECT_EQ(pragma(store->handle(), "PRAGMA freelist_count"), "0");
}

TEST(SqliteHistoryStoreTest, TheFilesAreTheUsersAlone) {
    const ScratchFolder folder;
    const std::filesystem::path path = folder / "data" / "ulvo" / "history.sqlite";
    auto store = openStore(path);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->add(makeEntry(1, "text")).ok());
    const auto mode = [](const std::filesystem::path& file) {
        struct stat status {};
        return ::stat(file.c_str(), &status) == 0 ? status.st_mode & 0777 : 0U;
    };
    EXPECT_EQ(mode(path.parent_path()), 0700U);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        EXPECT_EQ(mode(path.string() + suffix), 0600U) << suffix; // the -wal file only in WAL mode
    }
}

TEST(SqliteHistoryStoreTest, KilledWhileWritingKeepsEveryCommittedEntry) {
    const ScratchFolder folder;
    const std::filesystem::path path = folder / "history.sqlite";
    int acknowledged[2];
    ASSERT_EQ(::pipe(acknowledged), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        ::close(acknowledged[0]);
        Result<std::unique_ptr<SqliteHistoryStore>> opened = SqliteHistoryStore::open(path);
        for (std::int64_t i = 0; opened.ok(); ++i) {
            HistoryEntry entry = makeEntry(i, "entry n" + std::to_string(i) + "x", std::string(4000, 'a'));
            Result<std::int64_t> id = opened.value()->add(entry);
            if (!id.ok() ||
                ::write(acknowledged[1], &id.value(), sizeof(std::int64_t)) != sizeof(std::int64_t)) {
                break;
            }
        }
        ::_exit(1);
    }
    ::close(acknowledged[1]);
    std::vector<std::int64_t> ids;
    std::int64_t id = 0;
    while (ids.size() < 40 && ::read(acknowledged[0], &id, sizeof id) == sizeof id) {
        ids.push_back(id);
    }
    ::kill(writer, SIGKILL);
    int status = 0;
    ::waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    while (::read(acknowledged[0], &id, sizeof id) == sizeof id) {
        ids.push_back(id);
    }
    ::close(acknowledged[0]);
    ASSERT_GE(ids.size(), 40U);

    auto store = openStore(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(pragma(store->handle(), "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(pragma(store->handle(), "INSERT INTO entries_text(entries_text) VALUES('integrity-check')"),
              "");
    EXPECT_EQ(sqlite3_errcode(store->handle()), SQLITE_OK);
    for (const std::int64_t kept : ids) {
        Result<std::optional<HistoryEntry>> entry = store->entry(kept);
        ASSERT_TRUE(entry.ok() && entry.value()) << kept;
        EXPECT_EQ((*entry)->answer.size(), 4000U);
        EXPECT_EQ(store->find((*entry)->selection.substr(6), 5, 0)->size(), 1U) << (*entry)->selection;
    }
}

TEST(SqliteHistoryStoreTest, AFullDiskIsSaidAndWhatWasKeptStays) {
    const ScratchFolder folder;
    auto store = openStore(folder / "history.sqlite");
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->add(makeEntry(1, "before the disk filled")).ok());
    // A file that may not grow is what a full disk looks like to SQLite.
    sqlite3_exec(store->handle(), "PRAGMA max_page_count = 40", nullptr, nullptr, nullptr);
    Result<std::int64_t> added = store->add(makeEntry(2, "too big", std::string(400'000, 'x')));
    ASSERT_FALSE(added.ok());
    EXPECT_NE(added.failure().message.find("the disk is full"), std::string::npos) << added.failure().message;
    EXPECT_EQ(selections(*store->find("", 10, 0)), std::vector<std::string>{"before the disk filled"});
    EXPECT_TRUE(store->add(makeEntry(3, "small again")).ok());
}

// The keeper on the real store: a main thread that is a queue run by the test.
struct Keeper {
    explicit Keeper(bool keep) { EXPECT_TRUE((HistorySettings{keep, 30}.save(*preferences))); }
    History::Options options(const std::filesystem::path& path) {
        History::Options options;
        options.open = [path]() -> Result<std::unique_ptr<HistoryStore>> {
            auto opened = SqliteHistoryStore::open(path);
            return opened ? Result<std::unique_ptr<HistoryStore>>(std::move(opened).value())
                          : opened.failure();
        };
        options.preferences = preferences;
        options.clock = [this] { return now; };
        options.connection = [] { return std::pair<std::string, std::string>("Built-in", "local"); };
        options.toMainThread = mainThread.poster();
        options.failed = [this](const std::string& message) { failures.push_back(message); };
        return options;
    }
    std::shared_ptr<test::MemoryPreferenceStore> preferences =
        std::make_shared<test::MemoryPreferenceStore>();
    std::int64_t now = std::int64_t{100} * 86400;
    test::TaskQueue mainThread;
    std::vector<std::string> failures;
};

TEST(HistoryTest, OffWritesNothing) {
    const ScratchFolder folder;
    const std::filesystem::path path = folder / "ulvo" / "history.sqlite";
    Keeper keeper(false);
    {
        History history(keeper.options(path));
        history.pruneOld();
        history.keep("text", 30, std::nullopt, "answer");
        history.keep("text", 30, std::string("why?"), "because");
    }
    EXPECT_FALSE(std::filesystem::exists(path.parent_path()));
    EXPECT_TRUE(keeper.failures.empty());
}

TEST(HistoryTest, KeepsExplanationsWithTheirFollowupsAndPrunesOldOnes) {
    const ScratchFolder folder;
    const std::filesystem::path path = folder / "history.sqlite";
    Keeper keeper(true);
    std::int64_t reopenedId = 0;
    keeper.now -= std::int64_t{31} * 86400;
    {
        History history(keeper.options(path));
        history.keep("old text", 10, std::nullopt, "old answer");
        history.find("", 10, 0,
                     [&](Result<std::vector<HistoryEntry>> found) { reopenedId = found->at(0).id; });
    }
    keeper.now += std::int64_t{31} * 86400;
    {
        History history(keeper.options(path));
        history.keep("first", 30, std::nullopt, "first answer");
        history.keep("first", 30, std::string("and then?"), "more");
        history.keep("second", 90, std::nullopt, "second answer");
    }
    keeper.mainThread.run();
    {
        History history(keeper.options(path));
        history.reopened(reopenedId, "old text");
        history.keep("old text", 10, std::string("asked later"), "later answer");
        // About another text (its explanation failed, so was not kept): an entry of its own.
        history.keep("other text", 10, std::string("what?"), "this");
        history.find("", 10, 0, [&](Result<std::vector<HistoryEntry>> found) {
            ASSERT_TRUE(found.ok());
            ASSERT_EQ(selections(*found),
                      (std::vector<std::string>{"other text", "second", "first", "old text"}));
            EXPECT_EQ(found->at(0).followups, (std::vector<HistoryFollowup>{{"what?", "this"}}));
            EXPECT_EQ(found->at(2).followups, (std::vector<HistoryFollowup>{{"and then?", "more"}}));
            EXPECT_EQ(found->at(3).followups,
                      (std::vector<HistoryFollowup>{{"asked later", "later answer"}}));
            EXPECT_EQ(found->at(1).provider, "Built-in");
        });
        history.pruneOld();
        history.find("", 10, 0, [&](Result<std::vector<HistoryEntry>> found) {
            EXPECT_EQ(selections(*found), (std::vector<std::string>{"other text", "second", "first"}));
        });
    }
    keeper.mainThread.run();
    EXPECT_TRUE(keeper.failures.empty());
}

TEST(HistoryTest, AFailedWriteIsSaidAndTheNextOneTriesAgain) {
    const ScratchFolder folder;
    const std::filesystem::path blocked = folder / "not-a-folder";
    test::writeFile(blocked, "a file where the folder should be");
    Keeper keeper(true);
    {
        History history(keeper.options(blocked / "history.sqlite"));
        history.keep("text", 30, std::nullopt, "answer");
        history.keep("text", 30, std::string("why?"), "because");
    }
    keeper.mainThread.run();
    ASSERT_EQ(keeper.failures.size(), 2U);
    EXPECT_NE(keeper.failures[0].find("history"), std::string::npos);
}

class PageHost final : public HistoryPageHost {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    void reopen(const HistoryEntry& entry) override { reopened.push_back(entry.selection); }
    std::vector<std::string> scripts;
    std::vector<std::string> reopened;
};

TEST(HistoryBridgeTest, ListsPagesOpensAndDeletes) {
    const ScratchFolder folder;
    const std::filesystem::path path = folder / "history.sqlite";
    {
        auto store = openStore(path);
        ASSERT_TRUE(store);
        for (int i = 0; i < 60; ++i) {
            ASSERT_TRUE(store->add(makeEntry(i, "entry " + std::to_string(i))).ok());
        }
        // Deleting all fails as a failing disk would; one entry at a time still goes.
        ASSERT_EQ(sqlite3_exec(store->handle(),
                               "CREATE TRIGGER failing BEFORE DELETE ON entries WHEN old.id = 1 "
                               "BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    Keeper keeper(true);
    PageHost host;
    auto history = std::make_unique<History>(keeper.options(path));
    HistoryBridge bridge(host, *history);
    for (const nlohmann::json& message : {
             nlohmann::json{{"action", "list"}, {"query", ""}, {"offset", 0}},
             nlohmann::json{{"action", "list"}, {"query", ""}, {"offset", 50}},
             nlohmann::json{{"action", "open"}, {"id", 3.0}}, // as the page's numbers arrive
             nlohmann::json{{"action", "open"}, {"id", 999}},
             nlohmann::json{{"action", "delete"}, {"id", 60}},
             nlohmann::json{{"action", "list"}, {"query", "entry 5"}},
             nlohmann::json{{"action", "delete-all"}},
             nlohmann::json{{"action", "open"}, {"id", "3"}}, // not a number: ignored
             nlohmann::json::array(),
         }) {
        bridge.didReceiveScriptMessage(message);
    }
    history.reset(); // its worker finishes what was asked
    keeper.mainThread.run();
    const auto payload = [&](std::size_t index) {
        const std::string& script = host.scripts.at(index);
        return nlohmann::json::parse(
            script.substr(script.find('(') + 1, script.size() - script.find('(') - 2));
    };
    ASSERT_EQ(host.scripts.size(), 6U);
    EXPECT_EQ(payload(0)["entries"].size(), 50U);
    EXPECT_EQ(payload(0)["entries"][0]["selection"], "entry 59"); // newest first
    EXPECT_TRUE(payload(0)["more"].get<bool>());
    EXPECT_EQ(payload(1)["entries"].size(), 10U);
    EXPECT_FALSE(payload(1)["more"].get<bool>());
    EXPECT_EQ(host.reopened, std::vector<std::string>{"entry 2"});
    EXPECT_NE(host.scripts[2].find("failed"), std::string::npos);
    EXPECT_NE(host.scripts[3].find(R"(removed({"id":60}))"), std::string::npos);
    EXPECT_EQ(payload(4)["entries"].size(), 10U); // "entry 5" and "entry 50" to "entry 58"
    EXPECT_NE(host.scripts[5].find("disk I/O error"), std::string::npos); // a failure is said, not "cleared"
}

} // namespace
} // namespace ulvo
