#pragma once

#include "settings/PreferenceStore.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace ulvo {

// "Keep a history", and for how many days.
struct HistorySettings {
    static constexpr const char* keepKey = "historyKeep";
    static constexpr const char* daysKey = "historyDays";
    static constexpr int defaultDays = 90;
    static constexpr int maximumDays = 36500;

    bool keep = true;
    int days = defaultDays;

    // Unset or unreadable values read as the defaults.
    static HistorySettings load(const PreferenceStore& store);
    [[nodiscard]] bool save(PreferenceStore& store) const;
    // The settings page's {"keep": bool, "days": whole number 1 to maximumDays}; absent when not that.
    static std::optional<HistorySettings> fromPage(const nlohmann::json& body);

    bool operator==(const HistorySettings&) const = default;
};

} // namespace ulvo
