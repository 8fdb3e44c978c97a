#pragma once

#include "base/Lifetime.h"
#include "history/History.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace ulvo {

// An entry as both pages get it.
nlohmann::json historyEntryPayload(const HistoryEntry& entry);

// What the history page needs from the desktop; main thread only.
class HistoryPageHost {
public:
    virtual ~HistoryPageHost() = default;
    virtual void evaluateScript(const std::string& script) = 0; // fire and forget
    // Shows the entry in the card with its stored answer; nothing is asked again.
    virtual void reopen(const HistoryEntry& entry) = 0;
};

// The history page's protocol. The page asks "list" (query, offset), "open", "delete" (id) and
// "delete-all"; it is answered through window.ULVOHistory: show, removed, cleared and failed.
class HistoryBridge {
public:
    static constexpr std::size_t pageSize = 50;

    HistoryBridge(HistoryPageHost& host, History& history);
    void didReceiveScriptMessage(const nlohmann::json& body);

private:
    void call(const char* name, const nlohmann::json& payload);

    HistoryPageHost& host_;
    History& history_;
    Lifetime<HistoryBridge> lifetime_{this};
};

// The settings page's "Keep a history" section and the read-aloud line: the payload for
// window.ulvoHistorySettings.init, and the script for it.
nlohmann::json historySettingsPayload(const HistorySettings& settings, const std::string& speechNote);
std::string historySettingsScript(const char* name, const nlohmann::json& payload);

} // namespace ulvo
