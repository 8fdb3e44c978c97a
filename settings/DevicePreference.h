#pragma once

#include "settings/PreferenceStore.h"

namespace ulvo {

// The user's "CPU only" choice for the built-in model (a laptop on battery); off unless stored.
struct DevicePreference {
    static constexpr const char* cpuOnlyKey = "modelCPUOnly";

    static bool cpuOnly(const PreferenceStore& store) { return store.string(cpuOnlyKey) == "true"; }
    [[nodiscard]] static bool setCPUOnly(PreferenceStore& store, bool on) {
        return store.setStrings({{cpuOnlyKey, on ? "true" : "false"}});
    }
};

} // namespace ulvo
