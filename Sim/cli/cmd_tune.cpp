// wspr-sim tune FREQ_HZ [--xtal HZ]: what CLK1 really emits for the four tones of a base frequency,
// keyed as in a frame. The firmware's driver, linked into wspr-sim, drives the virtual board's
// Si5351 model from this process, so this runs on the PC model (the virtual MCU) only; the board's
// firmware is not started. The figures printed are what the model decoded from the driver's
// transfers, not what the driver meant.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "app_config.h"
#include "board.h"
#include "commands.h"
#include "options.h"
#include "si5351.h"

int cmd_tune(int argc, char **argv) {
    uint64_t xtal_hz = SI5351_XTAL_HZ;
    const std::vector<cli::Option> options = {
        {"--xtal", "HZ", "plan for and run on this crystal (default 25003275)",
         [&](const char *v, std::string &e) {
             e = "takes " + std::to_string(SI5351_XTAL_MIN_HZ) + ".." +
                 std::to_string(SI5351_XTAL_MAX_HZ) + " Hz";
             return cli::ParseWhole(v, SI5351_XTAL_MIN_HZ, SI5351_XTAL_MAX_HZ, xtal_hz);
         }},
    };
    std::vector<const char *> freq;
    const int parsed = cli::Parse("tune", "FREQ_HZ [--xtal HZ]", options, argc, argv, &freq);
    if (parsed >= 0) {
        return parsed;
    }
    if (freq.size() != 1) {
        cli::PrintUsage(stderr, "tune", "FREQ_HZ [--xtal HZ]", options);
        return 1;
    }
    uint64_t base_hz = 0;
    if (!cli::ParseWhole(freq[0], WSPR_MIN_FREQ_HZ, WSPR_MAX_FREQ_HZ, base_hz)) {
        std::fprintf(stderr, "wspr-sim tune: '%s' is not a frequency of %lu..%lu whole hertz\n",
                     freq[0], static_cast<unsigned long>(WSPR_MIN_FREQ_HZ),
                     static_cast<unsigned long>(WSPR_MAX_FREQ_HZ));
        return 1;
    }

    // The chip has the crystal the planning assumes (a calibrated beacon) and was powered long
    // before: its initialisation is over (no tick runs here to wait on).
    sim::BoardConfig board;
    board.xtal_hz = xtal_hz;
    board.si5351_sys_init_ns = 0;
    sim::Prepare(board);
    const sim::Si5351Model &chip = sim::Chip();
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
        if (chip.r1_div_log2() != 0) {
            std::printf(" r_div=%u", 1U << chip.r1_div_log2()); // below 500 kHz
        }
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
    return exit_status;
}
