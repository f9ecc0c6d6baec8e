// wspr-sim tune FREQ_HZ [--xtal HZ]: what CLK1 really emits for the four tones of a base frequency,
// keyed as in a frame. The driver runs on the virtual MCU against the chip model; the figures
// printed are what the model decoded from the driver's transfers, not what the driver meant.
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
    const char *freq_text = nullptr;
    uint64_t xtal_hz = SI5351_XTAL_HZ;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--xtal") == 0 && i + 1 < argc) {
            if (!ParseHz(argv[++i], &xtal_hz) || xtal_hz < SI5351_XTAL_MIN_HZ ||
                xtal_hz > SI5351_XTAL_MAX_HZ) {
                std::fprintf(stderr, "wspr-sim tune: --xtal takes %lu..%lu Hz\n",
                             static_cast<unsigned long>(SI5351_XTAL_MIN_HZ),
                             static_cast<unsigned long>(SI5351_XTAL_MAX_HZ));
                return 1;
            }
        } else if (freq_text == nullptr && argv[i][0] != '-') {
            freq_text = argv[i];
        } else {
            freq_text = nullptr;
            break;
        }
    }
    if (freq_text == nullptr) {
        std::fprintf(stderr, "usage: wspr-sim tune FREQ_HZ [--xtal HZ]\n");
        return 1;
    }
    uint64_t base_hz = 0;
    if (!ParseHz(freq_text, &base_hz)) {
        std::fprintf(stderr, "wspr-sim tune: '%s' is not a whole number of hertz\n", freq_text);
        return 1;
    }
    if (base_hz < WSPR_MIN_FREQ_HZ || base_hz > WSPR_MAX_FREQ_HZ) {
        std::fprintf(stderr, "wspr-sim tune: %" PRIu64 " Hz is outside %lu..%lu Hz\n", base_hz,
                     static_cast<unsigned long>(WSPR_MIN_FREQ_HZ),
                     static_cast<unsigned long>(WSPR_MAX_FREQ_HZ));
        return 1;
    }

    // The chip has the crystal the planning assumes: a calibrated beacon.
    vmcu::reset();
    sim::Si5351Model chip(xtal_hz);
    vmcu::i2c_attach(sim::Si5351Model::ADDRESS_7BIT, &chip);
    I2C_HandleTypeDef hi2c{};
    hi2c.Instance = I2C1;
    HAL_StatusTypeDef status = HAL_I2C_Init(&hi2c);
    if (status == HAL_OK) {
        status = Si5351_Init(&hi2c);
    }
    Si5351TonePlan plan{};
    if (status == HAL_OK && !Si5351_PlanTones(static_cast<uint32_t>(xtal_hz), base_hz * 1000000ULL,
                                              WSPR_TONE_SPACING_UHZ, 4, &plan)) {
        status = HAL_ERROR;
    }
    if (status != HAL_OK) {
        std::fprintf(stderr, "wspr-sim tune: Si5351 set-up failed: %d\n", static_cast<int>(status));
        vmcu::i2c_detach(sim::Si5351Model::ADDRESS_7BIT);
        return 1;
    }

    static const char *const k_modes[] = {"fractional", "integer", "divby4"};
    int exit_status = 0;
    for (uint8_t tone = 0; tone < 4; ++tone) {
        const uint64_t asked_uhz = base_hz * 1000000ULL + tone * WSPR_TONE_SPACING_UHZ;
        // Keyed as in a frame: the first tone with the full set-up, the others by one divider.
        status = tone == 0 ? Si5351_StartTone(&plan, tone) : Si5351_KeyTone(&plan, tone);
        const sim::Si5351Model::Params pll = chip.pll_a_params();
        const sim::Si5351Model::Params ms = chip.ms1_params();
        const uint64_t emitted_uhz = chip.clk1_freq_uhz();
        const int64_t error_uhz = static_cast<int64_t>(emitted_uhz - asked_uhz);
        std::printf("tone=%u asked_uhz=%" PRIu64 " pll=%" PRIu32 ",%" PRIu32 ",%" PRIu32
                    " ms=%" PRIu32 ",%" PRIu32 ",%" PRIu32 " emitted_uhz=%" PRIu64
                    " error_uhz=%" PRId64 " ms_mode=%s",
                    static_cast<unsigned>(tone), asked_uhz, pll.p1, pll.p2, pll.p3, ms.p1, ms.p2,
                    ms.p3, emitted_uhz, error_uhz, k_modes[plan.tone[tone].ms_mode]);
        if (status != HAL_OK) {
            std::printf(" status=%d", static_cast<int>(status));
            exit_status = 1;
        }
        std::printf("\n");
    }
    for (const sim::Si5351Model::Fault &f : chip.faults()) {
        std::fprintf(stderr, "wspr-sim tune: outside the chip's limits: %s\n", f.what.c_str());
        exit_status = 1;
    }
    vmcu::i2c_detach(sim::Si5351Model::ADDRESS_7BIT);
    return exit_status;
}
