#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "fst4w_encoder.h"
#include "options.h"
#include "tx_mode.h"
#include "wspr_encoder.h"

namespace {

std::string Upper(const char *text) {
    std::string s = text;
    for (char &c : s) {
        c = wspr_message::ToUpper(c);
    }
    return s;
}

const char *CallsignProblem(WsprCallCheck check) {
    switch (check) {
    case WSPR_CALL_TOO_LONG:
        return "the base callsign has more than 6 characters";
    case WSPR_CALL_BAD_PREFIX:
        return "a prefix is 1 to 3 letters or digits before a '/'";
    case WSPR_CALL_BAD_SUFFIX:
        return "a suffix is 1 letter or digit, or 2 digits 10..99, after a '/'";
    case WSPR_CALL_TWO_ADDONS:
        return "one prefix or one suffix only";
    default:
        return "3 to 6 letters and digits, call area digit second or third, fitting six places";
    }
}

} // namespace

// The frames the beacon sends in turn for this callsign, locator and power, one line each, in
// the mode --mode names (WSPR by default): 162 symbols a frame for WSPR, 160 for FST4W.
int cmd_encode(int argc, char **argv) {
    uint8_t mode = TX_MODE_WSPR;
    char *positional[3] = {};
    int count_args = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--mode") == 0) {
            mode = i + 1 < argc ? TxMode_ByName(argv[++i]) : TX_MODE_COUNT;
            if (mode >= TX_MODE_COUNT) {
                std::fprintf(stderr, "wspr-sim encode: --mode takes wspr, fst4w-120, fst4w-300, "
                                     "fst4w-900 or fst4w-1800\n");
                return 1;
            }
        } else if (count_args < 3) {
            positional[count_args++] = argv[i];
        } else {
            ++count_args;
        }
    }
    if (count_args != 3) {
        std::fprintf(stderr,
                     "wspr-sim encode: expected CALL LOCATOR DBM [--mode MODE], got %d "
                     "argument%s\n",
                     count_args, count_args == 1 ? "" : "s");
        return 1;
    }
    argv = positional;
    const std::string call_text = Upper(argv[0]);
    const std::string locator = Upper(argv[1]);
    uint64_t value = 0;
    if (!cli::ParseWhole(argv[2], 0, wspr_message::MAX_POWER_DBM, value)) {
        std::fprintf(stderr, "wspr-sim encode: power '%s' is not a whole number of dBm 0..60\n",
                     argv[2]);
        return 1;
    }
    const uint8_t dbm = static_cast<uint8_t>(value);

    WsprCallsign call = {};
    const WsprCallCheck check = WSPR_ParseCallsign(call_text.c_str(), &call);
    if (check != WSPR_CALL_OK) {
        std::fprintf(stderr, "wspr-sim encode: callsign '%s' cannot be sent (%s)\n", argv[0],
                     CallsignProblem(check));
        return 1;
    }
    if (!wspr_message::IsPowerLevel(dbm)) {
        std::fprintf(stderr,
                     "wspr-sim encode: power %u dBm is not a WSPR level (0, 3, 7, 10, ... 57, "
                     "60: last digit 0, 3 or 7)\n",
                     static_cast<unsigned>(dbm));
        return 1;
    }
    WsprMessage cycle[WSPR_CYCLE_MAX] = {};
    const uint8_t count = WSPR_MessageCycle(&call, locator.c_str(), dbm, cycle);
    uint8_t symbols[WSPR_CYCLE_MAX][WSPR_SYMBOL_COUNT];
    const bool wspr = mode == TX_MODE_WSPR;
    const unsigned symbol_count = wspr ? WSPR_SYMBOL_COUNT : FST4W_SYMBOL_COUNT;
    for (uint8_t i = 0; i < count; ++i) {
        if (!(wspr ? WSPR_EncodeMessage(&cycle[i], symbols[i])
                   : FST4W_EncodeMessage(&cycle[i], symbols[i]))) {
            std::fprintf(stderr,
                         "wspr-sim encode: locator '%s' cannot be sent (two letters A..R, two "
                         "digits, then optionally two letters A..X)\n",
                         argv[1]);
            return 1;
        }
    }
    if (count == 0) {
        std::fprintf(stderr, "wspr-sim encode: locator '%s' cannot be sent (4 or 6 characters)\n",
                     argv[1]);
        return 1;
    }
    for (uint8_t i = 0; i < count; ++i) {
        for (unsigned k = 0; k < symbol_count; ++k) {
            std::printf(k == 0 ? "%u" : " %u", static_cast<unsigned>(symbols[i][k]));
        }
        std::printf("\n");
    }
    return 0;
}
