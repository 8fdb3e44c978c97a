#include "history/HistorySettings.h"

#include <charconv>
#include <cmath>

namespace ulvo {

HistorySettings HistorySettings::load(const PreferenceStore& store) {
    HistorySettings settings;
    settings.keep = store.string(keepKey).value_or("true") != "false";
    if (const std::optional<std::string> days = store.string(daysKey)) {
        int value = 0;
        const auto [end, error] = std::from_chars(days->data(), days->data() + days->size(), value);
        if (error == std::errc() && end == days->data() + days->size() && value >= 1 &&
            value <= maximumDays) {
            settings.days = value;
        }
    }
    return settings;
}

bool HistorySettings::save(PreferenceStore& store) const {
    return store.setStrings({{keepKey, keep ? "true" : "false"}, {daysKey, std::to_string(days)}});
}

std::optional<HistorySettings> HistorySettings::fromPage(const nlohmann::json& body) {
    const auto keep = body.find("keep");
    const auto days = body.find("days");
    if (keep == body.end() || !keep->is_boolean() || days == body.end() || !days->is_number()) {
        return std::nullopt;
    }
    const double value = days->get<double>();
    if (!std::isfinite(value) || value != std::floor(value) || value < 1 || value > maximumDays) {
        return std::nullopt;
    }
    return HistorySettings{keep->get<bool>(), static_cast<int>(value)};
}

} // namespace ulvo
