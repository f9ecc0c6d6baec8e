// wspr-sim tune FREQ_HZ: what CLK1 really emits for the four tones of a base frequency. The driver
// runs on the virtual MCU against the chip model; the figures printed are what the model decoded
// from the driver's transfers, not what the driver meant.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app_config.h"
#include "commands.h"
#include "si5351.h"
#include "si5351_model.h"
#include "vmcu.h"

namespace {

// A plain whole number of hertz: digits only, no sign, no spaces, no exponent.
bool ParseHz(const char *text, uint64_t *hz) {
    size_t len = std::strlen(text);
    if (len == 0 || len > 12) {
        return false;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    *hz = value;
    return true;
}

} // namespace

int cmd_tune(int argc, char **argv) {
    if (argc != 1) {
        std::fprintf(stderr, "usage: wspr-sim tune FREQ_HZ\n");
        return 1;
    }
    uint64_t base_hz = 0;
    if (!ParseHz(argv[0], &base_hz)) {
        std::fprintf(stderr, "wspr-sim tune: '%s' is not a whole number of hertz\n", argv[0]);
        return 1;
    }
    if (base_hz < WSPR_MIN_FREQ_HZ || base_hz > WSPR_MAX_FREQ_HZ) {
        std::fprintf(stderr, "wspr-sim tune: %" PRIu64 " Hz is outside %lu..%lu Hz\n", base_hz,
                     static_cast<unsigned long>(WSPR_MIN_FREQ_HZ),
                     static_cast<unsigned long>(WSPR_MAX_FREQ_HZ));
        return 1;
    }

    vmcu::reset();
    sim::Si5351Model chip;
    vmcu::i2c_attach(sim::Si5351Model::ADDRESS_7BIT, &chip);
    I2C_HandleTypeDef hi2c{};
    hi2c.Instance = I2C1;
    HAL_StatusTypeDef status = HAL_I2C_Init(&hi2c);
    if (status == HAL_OK) {
        status = Si5351_Init(&hi2c);
    }
    if (status != HAL_OK) {
        std::fprintf(stderr, "wspr-sim tune: Si5351 initialisation failed: %d\n",
                     static_cast<int>(status));
        vmcu::i2c_detach(sim::Si5351Model::ADDRESS_7BIT);
        return 1;
    }

    for (uint64_t tone = 0; tone < 4; ++tone) {
        const uint64_t asked_uhz = base_hz * 1000000ULL + tone * WSPR_TONE_SPACING_UHZ;
        status = Si5351_SetFreqClk1Uhz(asked_uhz);
        const sim::Si5351Model::Params pll = chip.pll_a_params();
        const sim::Si5351Model::Params ms = chip.ms1_params();
        const uint64_t emitted_uhz = chip.clk1_freq_uhz();
        const int64_t error_uhz = static_cast<int64_t>(emitted_uhz - asked_uhz);
        std::printf(
            "tone=%" PRIu64 " asked_uhz=%" PRIu64 " pll=%" PRIu32 ",%" PRIu32 ",%" PRIu32
            " ms=%" PRIu32 ",%" PRIu32 ",%" PRIu32 " emitted_uhz=%" PRIu64 " error_uhz=%" PRId64,
            tone, asked_uhz, pll.p1, pll.p2, pll.p3, ms.p1, ms.p2, ms.p3, emitted_uhz, error_uhz);
        if (status != HAL_OK) {
            // Above the top of the range the driver refuses the tone and CLK1 stays where it was,
            // which is what the air would carry.
            std::printf(" status=%d", static_cast<int>(status));
            std::fprintf(stderr,
                         "wspr-sim tune: tone %" PRIu64 " refused by the driver (status %d); CLK1 "
                         "keeps the previous setting\n",
                         tone, static_cast<int>(status));
        }
        std::printf("\n");
    }
    vmcu::i2c_detach(sim::Si5351Model::ADDRESS_7BIT);
    return 0;
}
