#include <cstdint>
#include <cstdio>

#include "commands.h"
#include "options.h"
#include "wspr_encoder.h"

namespace {

/* Why the encoder refused the message: the callsign, else the locator, else the power level. */
void ReportRefusal(const char *call, const char *locator, uint8_t dbm) {
    uint32_t packed = 0;
    if (!wspr_encoder::PackCallsign(call, &packed)) {
        std::fprintf(stderr,
                     "wspr-sim encode: callsign '%s' cannot be sent (1 to 6 letters, digits or "
                     "spaces, call area digit second or third, fitting six places)\n",
                     call);
    } else if (!wspr_encoder::PackLocatorPower(locator, 0U, &packed)) {
        std::fprintf(stderr,
                     "wspr-sim encode: locator '%s' cannot be sent (two letters A..R, then two "
                     "digits)\n",
                     locator);
    } else {
        std::fprintf(stderr,
                     "wspr-sim encode: power %u dBm is not a WSPR level (0, 3, 7, 10, ... 57, "
                     "60: last digit 0, 3 or 7)\n",
                     static_cast<unsigned>(dbm));
    }
}

} // namespace

int cmd_encode(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "wspr-sim encode: expected CALL LOCATOR DBM, got %d argument%s\n",
                     argc, argc == 1 ? "" : "s");
        return 1;
    }
    const char *call = argv[0];
    const char *locator = argv[1];
    uint64_t value = 0;
    if (!cli::ParseWhole(argv[2], 0, wspr_encoder::MAX_POWER_DBM, value)) {
        std::fprintf(stderr, "wspr-sim encode: power '%s' is not a whole number of dBm 0..60\n",
                     argv[2]);
        return 1;
    }

    const uint8_t dbm = static_cast<uint8_t>(value);
    uint8_t symbols[WSPR_SYMBOL_COUNT];
    if (!WSPR_Encode(call, locator, dbm, symbols)) {
        ReportRefusal(call, locator, dbm);
        return 1;
    }
    for (unsigned k = 0; k < WSPR_SYMBOL_COUNT; ++k) {
        std::printf(k == 0 ? "%u" : " %u", static_cast<unsigned>(symbols[k]));
    }
    std::printf("\n");
    return 0;
}
