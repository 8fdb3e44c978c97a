// The history in a real SQLite file: search, removal that leaves no text behind, file rights, a full disk,
// and the history's keeper and page protocol on top of it.
#include "history/History.h"
#include "history/HistoryBridge.h"
#include "platform/linux/SqliteHistoryStore.h"
#include "tests/support/Files.h"
#include "tests/support/TaskQueue.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

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

TEST(SqliteHistoryStoreTest, FindsRemovesWithoutTraceKeepsTheFilesPrivateAndSaysAFullDisk) {
    const ScratchFolder folder;
    const std::filesystem::path path = folder / "data" / "ulvo" / "history.sqlite";
    auto store = openStore(path);
    ASSERT_TRUE(store);
    HistoryEntry withFollowup = makeEntry(300, "Mitochondria make energy");
    withFollowup.followups.push_back({"What is ATP?", "Adenosine triphosphate, the cell's fuel."});
    Result<std::int64_t> secret = store->add(makeEntry(1, "quuxsecretword in the selection", "quuxsecret"));
    for (const HistoryEntry& entry : {makeEntry(200, "Photosynthesis in leaves", "Light into sugar."),
                                      withFollowup, makeEntry(400, "Say \"hello\" to the cell")}) {
        ASSERT_TRUE(store->add(entry).ok());
    }
    const std::vector<std::string> all = {"Say \"hello\" to the cell", "Mitochondria make energy",
                                          "Photosynthesis in leaves"};
    const auto fileText = [&] { return test::readFile(path) + test::readFile(path.string() + "-wal"); };
    ASSERT_TRUE(secret.ok());
    ASSERT_NE(fileText().find("quuxsecretword"), std::string::npos);
    ASSERT_TRUE(store->remove(*secret).ok());
    EXPECT_EQ(fileText().find("quuxsecretword"), std::string::npos);

    const struct {
        const char* query;
        std::vector<std::string> expected;
    } cases[] = {
        {"cell", {"Say \"hello\" to the cell", "Mitochondria make energy"}}, // the second only in a follow-up
        {"sugar light", {"Photosynthesis in leaves"}},                       // every word, in any order
        {"\"hello", {"Say \"hello\" to the cell"}},                          // a quote is text
        {"* ( ) :", all},
    };
    for (const auto& [query, expected] : cases) {
        Result<std::vector<HistoryEntry>> found = store->find(query, 10, 0);
        ASSERT_TRUE(found.ok()) << query << ": " << found.failure().message;
        EXPECT_EQ(selections(*found), expected) << query;
    }

    const auto mode = [](const std::filesystem::path& file) {
        struct stat status {};
        return ::stat(file.c_str(), &status) == 0 ? status.st_mode & 0777 : 0U;
    };
    EXPECT_EQ(mode(path.parent_path()), 0700U);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        EXPECT_EQ(mode(path.string() + suffix), 0600U) << suffix; // the -wal file only in WAL mode
    }

    // A file that may not grow is what a full disk looks like to SQLite.
    sqlite3_exec(store->handle(), "PRAGMA max_page_count = 40", nullptr, nullptr, nullptr);
    Result<std::int64_t> added = store->add(makeEntry(2, "too big", std::string(400'000, 'x')));
    ASSERT_FALSE(added.ok());
    EXPECT_NE(added.failure().message.find("the disk is full"), std::string::npos) << added.failure().message;
    EXPECT_EQ(selections(*store->find("", 10, 0)), all);

    ASSERT_TRUE(store->removeAll().ok());
    EXPECT_EQ(fileText().find("Mitochondria"), std::string::npos);
}

// The keeper on the real store: a main thread that is a queue run by the test.
struct Keeper {
    History::Options options(const std::filesystem::path& path) {
        History::Options options;
        options.open = [path]() -> Result<std::unique_ptr<HistoryStore>> {
            auto opened = SqliteHistoryStore::open(path);
            return opened ? Result<std::unique_ptr<HistoryStore>>(std::move(opened).value())
                          : opened.failure();
        };
        options.clock = [this] { return now; };
        options.connection = [] { return std::pair<std::string, std::string>("Built-in", "local"); };
        options.toMainThread = mainThread.poster();
        options.failed = [this](const std::string& message) { failures.push_back(message); };
        return options;
    }
    std::int64_t now = std::int64_t{100} * 86400;
    test::TaskQueue mainThread;
    std::vector<std::string> failures;
};

TEST(HistoryTest, KeepsFollowupsWithTheirExplanationPrunesOldOnesAndSaysAFailedWrite) {
    const ScratchFolder folder;
    const std::filesystem::path path = folder / "history.sqlite";
    Keeper keeper;
    Result<std::int64_t> old = openStore(path)->add(makeEntry(0, "old")); // older than the days kept
    ASSERT_TRUE(old.ok());
    {
        History history(keeper.options(path));
        history.keep("first", 30, std::nullopt, "first answer");
        history.keep("first", 30, std::string("and then?"), "more");
        history.keep("second", 90, std::nullopt, "second answer");
        // Asked about the reopened old text: its entry's, so pruned with it rather than kept anew.
        history.reopened(*old, "old");
        history.keep("old", 10, std::string("asked later"), "later answer");
        // About another text (its explanation failed, so was not kept): an entry of its own.
        history.keep("other text", 10, std::string("what?"), "this");
        history.pruneOld();
        history.find("", 10, 0, [&](Result<std::vector<HistoryEntry>> found) {
            ASSERT_TRUE(found.ok());
            ASSERT_EQ(selections(*found), (std::vector<std::string>{"other text", "second", "first"}));
            EXPECT_EQ(found->at(0).followups, (std::vector<HistoryFollowup>{{"what?", "this"}}));
            EXPECT_EQ(found->at(2).followups, (std::vector<HistoryFollowup>{{"and then?", "more"}}));
            EXPECT_EQ(found->at(1).provider, "Built-in");
        });
    }
    keeper.mainThread.run();

    // Where the folder should be, a file: each write fails, is said, and the next one tries again.
    test::writeFile(folder / "blocked", "a file");
    {
        History history(keeper.options(folder / "blocked" / "history.sqlite"));
        history.keep("text", 30, std::nullopt, "answer");
        history.keep("text", 30, std::string("why?"), "because");
    }
    keeper.mainThread.run();
    EXPECT_EQ(keeper.failures.size(), 2U);
}

class PageHost final : public HistoryPageHost {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    void reopen(const HistoryEntry& /*entry*/) override {}
    std::vector<std::string> scripts;
};

TEST(HistoryBridgeTest, PagesDeletesAndSaysAFailure) {
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
    Keeper keeper;
    PageHost host;
    auto history = std::make_unique<History>(keeper.options(path));
    HistoryBridge bridge(host, *history);
    for (const nlohmann::json& message : {
             nlohmann::json{{"action", "list"}, {"query", ""}, {"offset", 0}},
             nlohmann::json{{"action", "list"}, {"query", ""}, {"offset", 50}},
             nlohmann::json{{"action", "delete"}, {"id", 60.0}}, // as the page's numbers arrive
             nlohmann::json{{"action", "delete-all"}},
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
    ASSERT_EQ(host.scripts.size(), 4U);
    EXPECT_EQ(payload(0)["entries"].size(), 50U);
    EXPECT_TRUE(payload(0)["more"].get<bool>());
    EXPECT_EQ(payload(1)["entries"].size(), 10U);
    EXPECT_FALSE(payload(1)["more"].get<bool>());
    EXPECT_EQ(payload(2)["id"], 60);
    EXPECT_NE(host.scripts[3].find("disk I/O error"), std::string::npos); // a failure is said, not "cleared"
}

} // namespace
} // namespace ulvo
