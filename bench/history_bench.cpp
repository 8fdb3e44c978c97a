// The history with 10,000 kept explanations: opening it (the file and the first page of the list),
// searching it, and what keeping an entry costs the thread that hands it over.
#include "BenchSupport.h"
#include "history/History.h"
#include "platform/linux/SqliteHistoryStore.h"

#include <chrono>
#include <cstdio>
#include <random>

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Words of a small vocabulary in random order: text the index treats like prose.
std::string prose(std::mt19937& random, std::size_t words) {
    static const std::vector<std::string> vocabulary = [] {
        std::vector<std::string> list;
        const char* roots[] = {"cell",     "energy",  "market", "protein", "theorem", "contract", "river",
                               "language", "voltage", "enzyme", "court",   "orbit",   "ledger",   "poem"};
        const char* endings[] = {"", "s", "al", "ic", "ed", "ing", "ity", "ous"};
        for (const char* root : roots) {
            for (const char* ending : endings) {
                list.push_back(std::string(root) + ending);
            }
        }
        return list;
    }();
    std::uniform_int_distribution<std::size_t> pick(0, vocabulary.size() - 1);
    std::string text;
    for (std::size_t i = 0; i < words; ++i) {
        text += (i == 0 ? "" : " ") + vocabulary[pick(random)];
    }
    return text;
}

} // namespace

int main() {
    using namespace ulvo;
    char pattern[] = "/tmp/ulvo-history-bench-XXXXXX";
    const std::filesystem::path folder = ::mkdtemp(pattern);
    const std::filesystem::path path = folder / "history.sqlite";
    std::mt19937 random(7);
    constexpr int entries = 10'000;
    {
        Result<std::unique_ptr<SqliteHistoryStore>> store = SqliteHistoryStore::open(path);
        if (!store) {
            std::fprintf(stderr, "history_bench: %s\n", store.failure().message.c_str());
            return 1;
        }
        sqlite3_exec((*store)->handle(), "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
        for (int i = 0; i < entries; ++i) {
            HistoryEntry entry;
            entry.time = 1'700'000'000 + i;
            entry.selection = prose(random, 50);
            entry.answer = prose(random, 180);
            entry.provider = "Built-in";
            entry.model = "local";
            if (i % 5 == 0) {
                entry.followups.push_back({prose(random, 8), prose(random, 60)});
            }
            static_cast<void>((*store)->add(entry));
        }
    }

    std::vector<double> opens;
    for (int run = 0; run < 7; ++run) {
        const Clock::time_point start = Clock::now();
        Result<std::unique_ptr<SqliteHistoryStore>> store = SqliteHistoryStore::open(path);
        const Result<std::vector<HistoryEntry>> page = (*store)->find("", 51, 0);
        opens.push_back(millisecondsSince(start));
        if (!page || page->size() != 51) {
            std::fprintf(stderr, "history_bench: the first page is wrong\n");
            return 1;
        }
    }

    std::vector<double> searches;
    {
        Result<std::unique_ptr<SqliteHistoryStore>> store = SqliteHistoryStore::open(path);
        const char* queries[] = {"protein",     "enzym",    "court ledger",       "orbital",
                                 "poems river", "voltag",   "cell energy market", "theoremic",
                                 "contracts",   "languages"};
        for (int round = 0; round < 3; ++round) {
            for (const char* query : queries) {
                const Clock::time_point start = Clock::now();
                const Result<std::vector<HistoryEntry>> found = (*store)->find(query, 51, 0);
                searches.push_back(millisecondsSince(start));
                static_cast<void>(found);
            }
        }
    }

    // Keeping on the answer path: what the main thread spends handing an entry over, and what the
    // worker spends writing it (each commit synced to the disk).
    std::vector<double> handOver;
    double writing = 0;
    constexpr int kept = 200;
    {
        History::Options options;
        options.open = [path]() -> Result<std::unique_ptr<HistoryStore>> {
            Result<std::unique_ptr<SqliteHistoryStore>> opened = SqliteHistoryStore::open(path);
            if (!opened) {
                return opened.failure();
            }
            return std::unique_ptr<HistoryStore>(std::move(opened).value());
        };
        options.toMainThread = [](std::function<void()>) {};
        const std::string answer = prose(random, 180);
        const Clock::time_point start = Clock::now();
        {
            History history(std::move(options));
            for (int i = 0; i < kept; ++i) {
                const Clock::time_point call = Clock::now();
                history.keep("selected text " + std::to_string(i), 40, std::nullopt, answer);
                handOver.push_back(std::chrono::duration<double, std::micro>(Clock::now() - call).count());
            }
        }
        writing = millisecondsSince(start) / kept;
    }
    std::error_code error;
    std::filesystem::remove_all(folder, error);

    std::printf("machine: %s\n", bench::machineDescription().c_str());
    std::printf("history_entries: %d entries\n", entries);
    std::printf("history_open_median: %.2f ms\n", bench::quantile(opens, 0.5));
    std::printf("history_open_max: %.2f ms\n", bench::quantile(opens, 1.0));
    std::printf("history_search_median: %.2f ms\n", bench::quantile(searches, 0.5));
    std::printf("history_search_max: %.2f ms\n", bench::quantile(searches, 1.0));
    std::printf("history_keep_main_thread_median: %.1f us\n", bench::quantile(handOver, 0.5));
    std::printf("history_keep_main_thread_p99: %.1f us\n", bench::quantile(handOver, 0.99));
    std::printf("history_write_on_worker_mean: %.2f ms\n", writing);
    const bool met = bench::quantile(opens, 1.0) < 100 && bench::quantile(searches, 1.0) < 100;
    std::printf("history_targets_met: %s\n", met ? "yes" : "no");
    return met ? 0 : 1;
}
