#include "app_settings.h"

#include "app_clock.h"
#include "iwdg.h"
#include "settings_store.h"

namespace {

constinit WSPR_Settings g_settings = k_settings_defaults;

// A flash operation stalls the CPU, and the 1 ms tick with it: the watchdog is refreshed on both
// sides and the clock catches up with the milliseconds the tick missed.
template <typename Op> HAL_StatusTypeDef KeepingTime(Op op) {
    (void)HAL_IWDG_Refresh(&hiwdg);
    const ClockStall stall = Clock_StallBegins();
    const HAL_StatusTypeDef status = op();
    Clock_StallEnds(stall);
    (void)HAL_IWDG_Refresh(&hiwdg);
    return status;
}

} // namespace

WSPR_Settings &Settings_Live() {
    return g_settings;
}

// Saved settings are taken only as a whole and only when each field would pass its command's
// check.
const char *Settings_LoadAtStart() {
    WSPR_Settings saved = Settings_Defaults();
    const SettingsFound found = Settings_Load(&saved);
    if (found == SettingsFound::NONE) {
        return nullptr;
    }
    if (found == SettingsFound::DAMAGED || !Settings_Valid(&saved)) {
        return "Settings: damaged, using defaults\r\n";
    }
    g_settings = saved;
    return "Settings: saved\r\n";
}

HAL_StatusTypeDef Settings_Keep() {
    return KeepingTime([] { return Settings_Save(&g_settings); });
}

HAL_StatusTypeDef Settings_BackToDefaults() {
    g_settings = Settings_Defaults();
    return KeepingTime([] { return Settings_Forget(); });
}
