#include "history/HistoryBridge.h"

#include "base/Text.h"

#include <cmath>

namespace ulvo {

namespace {

std::optional<std::int64_t> idMember(const nlohmann::json& body) {
    // Page numbers arrive as doubles: a whole one in range is an id.
    const auto id = body.find("id");
    if (id == body.end() || !id->is_number()) {
        return std::nullopt;
    }
    const double value = id->get<double>();
    if (!std::isfinite(value) || value != std::floor(value) || value < 1 || value > 9.0e15) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

std::size_t offsetMember(const nlohmann::json& body) {
    const auto offset = body.find("offset");
    if (offset == body.end() || !offset->is_number()) {
        return 0;
    }
    const double value = offset->get<double>();
    return std::isfinite(value) && value > 0 && value < 1e9 ? static_cast<std::size_t>(value) : 0;
}

} // namespace

nlohmann::json historyEntryPayload(const HistoryEntry& entry) {
    nlohmann::json followups = nlohmann::json::array();
    for (const HistoryFollowup& followup : entry.followups) {
        followups.push_back({{"question", followup.question}, {"answer", followup.answer}});
    }
    return {{"id", entry.id},
            {"time", entry.time},
            {"level", entry.level},
            {"selection", entry.selection},
            {"answer", entry.answer},
            {"followups", followups},
            {"provider", entry.provider},
            {"model", entry.model}};
}

HistoryBridge::HistoryBridge(HistoryPageHost& host, History& history)
    : host_(host)
    , history_(history) {}

void HistoryBridge::call(const char* name, const nlohmann::json& payload) {
    host_.evaluateScript(std::string("window.ULVOHistory && window.ULVOHistory.") + name + "(" +
                         scriptLiteral(payload) + ")");
}

void HistoryBridge::didReceiveScriptMessage(const nlohmann::json& body) {
    if (!body.is_object() || !body.contains("action") || !body["action"].is_string()) {
        return;
    }
    const std::string action = body["action"].get<std::string>();
    auto watch = lifetime_.watch();
    if (action == "list") {
        const std::string query =
            body.contains("query") && body["query"].is_string() ? body["query"].get<std::string>() : "";
        const std::size_t offset = offsetMember(body);
        // One more than a page tells whether there is more.
        history_.find(query, pageSize + 1, offset,
                      [watch, query, offset](Result<std::vector<HistoryEntry>> found) {
                          HistoryBridge* self = watch.get();
                          if (self == nullptr) {
                              return;
                          }
                          if (!found) {
                              self->call("failed", {{"message", found.failure().message}});
                              return;
                          }
                          nlohmann::json entries = nlohmann::json::array();
                          for (std::size_t i = 0; i < found->size() && i < pageSize; ++i) {
                              entries.push_back(historyEntryPayload((*found)[i]));
                          }
                          self->call("show", {{"query", query},
                                              {"offset", offset},
                                              {"entries", entries},
                                              {"more", found->size() > pageSize}});
                      });
    } else if (action == "open") {
        if (const std::optional<std::int64_t> id = idMember(body)) {
            history_.entry(*id, [watch](Result<std::optional<HistoryEntry>> found) {
                HistoryBridge* self = watch.get();
                if (self == nullptr) {
                    return;
                }
                if (!found || !found.value()) {
                    self->call("failed",
                               {{"message", found ? std::string("That entry is no longer in the history.")
                                                  : found.failure().message}});
                    return;
                }
                self->host_.reopen(**found);
            });
        }
    } else if (action == "delete") {
        if (const std::optional<std::int64_t> id = idMember(body)) {
            history_.remove(*id, [watch, id = *id](Result<void> removed) {
                if (HistoryBridge* self = watch.get()) {
                    removed ? self->call("removed", {{"id", id}})
                            : self->call("failed", {{"message", removed.failure().message}});
                }
            });
        }
    } else if (action == "delete-all") {
        history_.removeAll([watch](Result<void> removed) {
            if (HistoryBridge* self = watch.get()) {
                removed ? self->call("cleared", nlohmann::json::object())
                        : self->call("failed", {{"message", removed.failure().message}});
            }
        });
    }
}

nlohmann::json historySettingsPayload(const HistorySettings& settings, const std::string& speechNote) {
    return {{"keep", settings.keep},
            {"days", settings.days},
            {"maximumDays", HistorySettings::maximumDays},
            {"speechNote", speechNote}};
}

std::string historySettingsScript(const char* name, const nlohmann::json& payload) {
    return std::string("window.ulvoHistorySettings && window.ulvoHistorySettings.") + name + "(" +
           scriptLiteral(payload) + ")";
}

} // namespace ulvo
