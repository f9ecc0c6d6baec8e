/* Si5351 clock generator on I2C1: probing, the quiet start-up state, the PLL A and multisynth 1
 * dividers for a CLK1 frequency in micro-hertz, and the CLK1 output enable. The driver only writes;
 * it never reads the chip back. */
#include "si5351.h"

namespace {

constexpr uint16_t SI5351_ADDR = SI5351_I2C_ADDR_7BIT << 1;

constexpr uint8_t REG_OUTPUT_ENABLE_CONTROL = 3;
constexpr uint8_t REG_CLK0_CONTROL = 16;
constexpr uint8_t REG_CLK1_CONTROL = 17;
constexpr uint8_t REG_CLK2_CONTROL = 18;
constexpr uint8_t REG_PLLA_PARAMETERS = 26;
constexpr uint8_t REG_MS1_PARAMETERS = 50;
constexpr uint8_t REG_SPREAD_SPECTRUM = 149;
constexpr uint8_t REG_PLL_RESET = 177;
constexpr uint8_t REG_CRYSTAL_LOAD = 183;

constexpr uint8_t CLK_CONTROL_POWERDOWN = 0x80;
constexpr uint8_t CLK_CONTROL_PLLA_SRC = 0x00;
constexpr uint8_t CLK_CONTROL_SRC_MS = 0x0C;
constexpr uint8_t CLK_CONTROL_8MA = 0x03;
constexpr uint8_t CRYSTAL_LOAD_8PF = 0x92;

constexpr uint8_t OUTPUTS_ALL_DISABLED = 0xFF;
constexpr uint8_t OUTPUTS_CLK1_ONLY = 0xFD;
constexpr uint8_t SPREAD_SPECTRUM_OFF = 0x00;
constexpr uint8_t PLL_RESET_PLLA = 0x20;

constexpr uint32_t PROBE_TRIALS = 3;
constexpr uint32_t PROBE_TIMEOUT_MS = 100;

// The PLL stays at one frequency; only the multisynth follows the output.
constexpr uint32_t PLL_HZ = 900000000;
constexpr uint64_t MIN_FREQ_UHZ = 2500000000000ULL;   // 2.5 MHz
constexpr uint64_t MAX_FREQ_UHZ = 150000000000000ULL; // 150 MHz

// The planning of the default frequency, 14097070 Hz, and of its tone 3.
static_assert(SI5351_ADDR == 0xC0);
static_assert(Si5351_Gcd(24885375, 25003275) == 75);
constexpr Si5351Params k_pll = Si5351_CalcPllParams(PLL_HZ);
static_assert(k_pll.p1 == 4095 && k_pll.p2 == 132161 && k_pll.p3 == 333377);
constexpr Si5351Params k_ms_14m = Si5351_CalcMsParamsUhz(PLL_HZ, 14097070000000ULL);
static_assert(k_ms_14m.p1 == 7659 && k_ms_14m.p2 == 128391 && k_ms_14m.p3 == 140971);
constexpr Si5351Params k_ms_14m_tone3 =
    Si5351_CalcMsParamsUhz(PLL_HZ, 14097070000000ULL + 3 * WSPR_TONE_SPACING_UHZ);
static_assert(k_ms_14m_tone3.p1 == 7659 && k_ms_14m_tone3.p2 == 128007 &&
              k_ms_14m_tone3.p3 == 140971);
constexpr Si5351Params k_ms_min = Si5351_CalcMsParamsUhz(PLL_HZ, MIN_FREQ_UHZ);
static_assert(k_ms_min.p1 == 45568 && k_ms_min.p2 == 0 && k_ms_min.p3 == 1);
constexpr Si5351Params k_ms_max = Si5351_CalcMsParamsUhz(PLL_HZ, MAX_FREQ_UHZ);
static_assert(k_ms_max.p1 == 256 && k_ms_max.p2 == 0 && k_ms_max.p3 == 1);
static_assert(Si5351_ParamsImage(k_pll) ==
              std::array<uint8_t, 8>{0x16, 0x41, 0x00, 0x0F, 0xFF, 0x52, 0x04, 0x41});
static_assert(Si5351_ParamsImage(k_ms_14m) ==
              std::array<uint8_t, 8>{0x26, 0xAB, 0x00, 0x1D, 0xEB, 0x21, 0xF5, 0x87});

I2C_HandleTypeDef *g_i2c = nullptr;
bool g_ready = false;

HAL_StatusTypeDef Si5351_WriteReg(uint8_t reg, uint8_t value) {
    return HAL_I2C_Mem_Write(g_i2c, SI5351_ADDR, reg, I2C_MEMADD_SIZE_8BIT, &value, 1,
                             HAL_MAX_DELAY);
}

HAL_StatusTypeDef Si5351_WriteParams(uint8_t base_reg, const Si5351Params &params) {
    std::array<uint8_t, 8> image = Si5351_ParamsImage(params);
    return HAL_I2C_Mem_Write(g_i2c, SI5351_ADDR, base_reg, I2C_MEMADD_SIZE_8BIT, image.data(),
                             static_cast<uint16_t>(image.size()), HAL_MAX_DELAY);
}

} // namespace

HAL_StatusTypeDef Si5351_Init(I2C_HandleTypeDef *hi2c) {
    g_i2c = hi2c;
    g_ready = false;

    HAL_StatusTypeDef status =
        HAL_I2C_IsDeviceReady(hi2c, SI5351_ADDR, PROBE_TRIALS, PROBE_TIMEOUT_MS);
    if (status != HAL_OK) {
        return status;
    }

    // Quiet state: every output disabled and powered down, 8 pF load, no spread spectrum.
    constexpr struct {
        uint8_t reg, value;
    } k_quiet[] = {
        {REG_OUTPUT_ENABLE_CONTROL, OUTPUTS_ALL_DISABLED},
        {REG_CRYSTAL_LOAD, CRYSTAL_LOAD_8PF},
        {REG_SPREAD_SPECTRUM, SPREAD_SPECTRUM_OFF},
        {REG_CLK0_CONTROL, CLK_CONTROL_POWERDOWN},
        {REG_CLK1_CONTROL, CLK_CONTROL_POWERDOWN},
        {REG_CLK2_CONTROL, CLK_CONTROL_POWERDOWN},
    };
    for (const auto &w : k_quiet) {
        status = Si5351_WriteReg(w.reg, w.value);
        if (status != HAL_OK) {
            return status;
        }
    }

    g_ready = true;
    return HAL_OK;
}

HAL_StatusTypeDef Si5351_SetFreqClk1Uhz(uint64_t freq_uhz) {
    if (!g_ready) {
        return HAL_ERROR;
    }
    if (freq_uhz < MIN_FREQ_UHZ || freq_uhz > MAX_FREQ_UHZ) {
        return HAL_ERROR;
    }
    const Si5351Params pll = Si5351_CalcPllParams(PLL_HZ);
    const Si5351Params ms = Si5351_CalcMsParamsUhz(PLL_HZ, freq_uhz);

    HAL_StatusTypeDef status = Si5351_WriteReg(REG_OUTPUT_ENABLE_CONTROL, OUTPUTS_ALL_DISABLED);
    if (status == HAL_OK) {
        status = Si5351_WriteParams(REG_PLLA_PARAMETERS, pll);
    }
    if (status == HAL_OK) {
        status = Si5351_WriteParams(REG_MS1_PARAMETERS, ms);
    }
    if (status == HAL_OK) {
        status = Si5351_WriteReg(REG_PLL_RESET, PLL_RESET_PLLA);
    }
    if (status == HAL_OK) {
        status = Si5351_WriteReg(REG_CLK1_CONTROL,
                                 CLK_CONTROL_PLLA_SRC | CLK_CONTROL_SRC_MS | CLK_CONTROL_8MA);
    }
    if (status == HAL_OK) {
        status = Si5351_OutputEnableClk1(true);
    }
    return status;
}

HAL_StatusTypeDef Si5351_OutputEnableClk1(bool enable) {
    if (!g_ready) {
        return HAL_ERROR;
    }
    return Si5351_WriteReg(REG_OUTPUT_ENABLE_CONTROL,
                           enable ? OUTPUTS_CLK1_ONLY : OUTPUTS_ALL_DISABLED);
}
