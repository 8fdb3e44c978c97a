// The history page's protocol over an in-memory store, and the card's side of the history: what reaches
// the page is kept, and a kept entry is shown without asking again.
#include "history/HistoryBridge.h"
#include "card/CardBridge.h"
#include "tests/support/RecordingCardHost.h"
#include "tests/support/TaskQueue.h"

#include <gtest/gtest.h>

#include <map>

namespace ulvo {
namespace {

class MemoryHistoryStore final : public HistoryStore {
public:
    Result<std::int64_t> add(const HistoryEntry& entry) override {
        HistoryEntry kept = entry;
        kept.id = ++last_;
        entries_[kept.id] = kept;
        return kept.id;
    }
    Result<void> addFollowup(std::int64_t id, const HistoryFollowup& followup) override {
        entries_.at(id).followups.push_back(followup);
        return {};
    }
    Result<std::vector<HistoryEntry>> find(const std::string& query, std::size_t limit,
                                           std::size_t offset) override {
        std::vector<HistoryEntry> found;
        for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
            if (entry->second.selection.find(query) != std::string::npos) {
                found.push_back(entry->second);
            }
        }
        found.erase(found.begin(),
                    found.begin() + static_cast<std::ptrdiff_t>(std::min(offset, found.size())));
        found.resize(std::min(limit, found.size()));
        return found;
    }
    Result<std::optional<HistoryEntry>> entry(std::int64_t id) override {
        const auto found = entries_.find(id);
        return found == entries_.end() ? std::optional<HistoryEntry>() : std::optional(found->second);
    }
    Result<void> remove(std::int64_t id) override {
        entries_.erase(id);
        return {};
    }
    Result<void> removeAll() override { return Failure{"The history cannot be deleted: disk I/O error", 10}; }
    Result<std::size_t> removeBefore(std::int64_t) override { return std::size_t{0}; }

private:
    std::int64_t last_ = 0;
    std::map<std::int64_t, HistoryEntry> entries_;
};

class PageHost final : public HistoryPageHost {
public:
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    void reopen(const HistoryEntry& entry) override { reopened.push_back(entry.selection); }
    std::vector<std::string> scripts;
    std::vector<std::string> reopened;
};

TEST(HistoryBridgeTest, ListsPagesOpensAndDeletes) {
    test::TaskQueue main;
    PageHost host;
    auto store = std::make_unique<MemoryHistoryStore>();
    for (int i = 0; i < 60; ++i) {
        static_cast<void>(
            store->add(HistoryEntry{0, i, "entry " + std::to_string(i), 25, "answer", {}, "p", "m"}));
    }
    History::Options options;
    options.open = [&store]() -> Result<std::unique_ptr<HistoryStore>> {
        return std::unique_ptr<HistoryStore>(std::move(store));
    };
    options.toMainThread = main.poster();
    auto history = std::make_unique<History>(std::move(options));
    HistoryBridge bridge(host, *history);
    {
        const nlohmann::json messages[] = {
            {{"action", "list"}, {"query", ""}, {"offset", 0}},
            {{"action", "list"}, {"query", ""}, {"offset", 50}},
            {{"action", "open"}, {"id", 3.0}}, // as the page's numbers arrive
            {{"action", "open"}, {"id", 999}},
            {{"action", "delete"}, {"id", 60}},
            {{"action", "list"}, {"query", "entry 5"}},
            {{"action", "delete-all"}},
            {{"action", "open"}, {"id", "3"}}, // not a number: ignored
            nlohmann::json::array(),
        };
        for (const nlohmann::json& message : messages) {
            bridge.didReceiveScriptMessage(message);
        }
    }
    history.reset(); // its worker finishes what was asked
    main.run();
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
    EXPECT_EQ(payload(4)["entries"].size(),
              10U); // "entry 5" and "entry 50" to "entry 59", less the deleted one
    EXPECT_NE(host.scripts[5].find("disk I/O error"), std::string::npos); // a failure is said, not "cleared"
}

TEST(CardHistoryTest, KeepsWhatReachedThePageAndShowsAKeptEntryWithoutAsking) {
    test::RecordingCardHost host;
    host.selection = "the selection";
    std::vector<std::function<void(ExplainResult)>> completions;
    CardAnswers answers;
    answers.explain = [&](std::string, std::optional<std::string>, Level,
                          std::function<void(ExplainResult)> done, std::function<void(const std::string&)>) {
        completions.push_back(std::move(done));
    };
    std::vector<std::string> kept;
    CardBridge bridge(host, answers, [](std::function<void()> task) { task(); });
    bridge.setKeeper([&](const std::string& text, Level level, const std::optional<std::string>& question,
                         const std::string& answer) {
        kept.push_back(text + "|" + std::to_string(level) + "|" + question.value_or("-") + "|" + answer);
    });
    const auto ask = [&](nlohmann::json message) { bridge.didReceiveScriptMessage(message); };
    ask({{"action", "explain"}, {"text", "old"}, {"level", 10}, {"id", 1}});
    ask({{"action", "explain"}, {"text", "cells"}, {"level", 40}, {"id", 2}});
    completions[0](ExplainResult::success("superseded answer"));
    completions[1](ExplainResult::success("Cells are small."));
    ask({{"action", "followup"}, {"text", "cells"}, {"level", 40}, {"question", "How small?"}, {"id", 3}});
    completions[2](ExplainResult::failure(std::make_exception_ptr(std::runtime_error("offline"))));
    ask({{"action", "followup"}, {"text", "cells"}, {"level", 40}, {"question", "Why?"}, {"id", 4}});
    completions[3](ExplainResult::success("Because."));
    EXPECT_EQ(kept, (std::vector<std::string>{"cells|40|-|Cells are small.", "cells|40|Why?|Because."}));

    host.scripts.clear();
    bridge.showStored({{"selection", "kept text"}, {"answer", "kept answer"}});
    bridge.didFinishNavigation();
    EXPECT_EQ(completions.size(), 4U);
    ASSERT_FALSE(host.scripts.empty());
    EXPECT_NE(host.scripts.back().find("showStored"), std::string::npos);
    bridge.forgetStored();
    bridge.sendSelection();
    EXPECT_NE(host.scripts.back().find("setSelection"), std::string::npos);
}

} // namespace
} // namespace ulvo
