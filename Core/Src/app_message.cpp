#include "app_message.h"

#include <stdio.h>
#include <string.h>

#include "app_settings.h"
#include "app_transmitter.h"
#include "maidenhead.h"

namespace {

// What restarts the turn: the callsign, and the locator as the operator set it (a fixed locator,
// or "from GNSS": the positions that move it do not restart it).
struct Choice {
    char call[WSPR_CALL_TEXT_MAX + 1];
    char locator[WSPR_GRID6_LEN + 1];
    bool gnss;
};

Choice g_choice = {};
uint8_t g_next = 0; // the frame of the cycle sent next

Choice CurrentChoice(const WSPR_Settings &s) {
    Choice c = {};
    Settings_CallsignText(&s, c.call);
    c.gnss = s.locator_gnss;
    if (!c.gnss) {
        Settings_LocatorText(&s, c.locator);
    }
    return c;
}

uint8_t Cycle(WsprMessage cycle[WSPR_CYCLE_MAX]) {
    const WSPR_Settings &s = Settings_Live();
    const WsprCallsign call = Settings_Callsign(&s);
    char locator[WSPR_GRID6_LEN + 1];
    Settings_LocatorText(&s, locator);
    return WSPR_MessageCycle(&call, locator, s.power_dbm, cycle);
}

} // namespace

bool Message_Next(WsprMessage *message) {
    const Choice now = CurrentChoice(Settings_Live());
    if (memcmp(&now, &g_choice, sizeof now) != 0) {
        g_choice = now;
        g_next = 0;
    }
    WsprMessage cycle[WSPR_CYCLE_MAX];
    const uint8_t count = Cycle(cycle);
    if (count == 0U) {
        return false;
    }
    *message = cycle[g_next % count];
    return true;
}

void Message_Sent() {
    g_next = static_cast<uint8_t>((g_next + 1U) % WSPR_CYCLE_MAX);
}

void Message_TakePosition(int32_t lat, int32_t lon) {
    WSPR_Settings &s = Settings_Live();
    char locator[WSPR_GRID6_LEN + 1];
    if (!s.locator_gnss || Tx_State() == WSPR_STATE_TX || !Maidenhead_Locator(lat, lon, locator)) {
        return;
    }
    Settings_SetLocator(&s, locator);
    s.locator_gnss = true;
}

void Message_Describe(char *out, uint32_t size) {
    WsprMessage cycle[WSPR_CYCLE_MAX];
    const uint8_t count = Cycle(cycle);
    if (count == 0U) {
        snprintf(out, size, "none");
        return;
    }
    const int first = WSPR_FormatMessage(&cycle[0], out, size);
    if (first < 0 || static_cast<uint32_t>(first) >= size) {
        return;
    }
    char *rest = out + first;
    const uint32_t room = size - static_cast<uint32_t>(first);
    if (count > 1U) {
        const int n = snprintf(rest, room, ", then ");
        if (n >= 0 && static_cast<uint32_t>(n) < room) {
            (void)WSPR_FormatMessage(&cycle[1], rest + n, room - static_cast<uint32_t>(n));
        }
    } else if (cycle[0].type == WSPR_MSG_TYPE2) {
        snprintf(rest, room, " (no locator: a compound callsign needs a 6-char locator)");
    }
}
