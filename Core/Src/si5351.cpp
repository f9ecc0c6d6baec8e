/* Si5351 clock generator on I2C1: probing, the quiet start-up state, setting CLK1 on a planned tone
 * (si5351_plan.cpp), keying between tones, and the CLK1 output enable. The driver reads one
 * register only: the device status, whose SYS_INIT flag says when the chip is through its
 * initialisation after power-up. */
#include "si5351.h"

namespace {

constexpr uint16_t SI5351_ADDR = SI5351_I2C_ADDR_7BIT << 1;

constexpr uint8_t REG_DEVICE_STATUS = 0;
constexpr uint8_t REG_OUTPUT_ENABLE_CONTROL = 3;
constexpr uint8_t REG_CLK0_CONTROL = 16;
constexpr uint8_t REG_CLK1_CONTROL = 17;
constexpr uint8_t REG_CLK2_CONTROL = 18;
constexpr uint8_t REG_PLLA_PARAMETERS = 26;
constexpr uint8_t REG_PLLB_PARAMETERS = 34;
constexpr uint8_t REG_MS0_PARAMETERS = 42;
constexpr uint8_t REG_MS1_PARAMETERS = 50;
constexpr uint8_t REG_SPREAD_SPECTRUM = 149;
constexpr uint8_t REG_PLL_RESET = 177;
constexpr uint8_t REG_CRYSTAL_LOAD = 183;

constexpr uint8_t CLK_CONTROL_POWERDOWN = 0x80;
constexpr uint8_t CLK_CONTROL_MS_INT = 0x40;
constexpr uint8_t CLK_CONTROL_PLLA_SRC = 0x00;
constexpr uint8_t CLK_CONTROL_PLLB_SRC = 0x20;
constexpr uint8_t CLK_CONTROL_2MA = 0x00;
constexpr uint8_t CLK_CONTROL_SRC_MS = 0x0C;
constexpr uint8_t CLK_CONTROL_8MA = 0x03;
constexpr uint8_t CRYSTAL_LOAD_8PF = 0x92;

constexpr uint8_t OUTPUTS_ALL_DISABLED = 0xFF;
constexpr uint8_t OUTPUT_CLK0 = 0x01;
constexpr uint8_t OUTPUT_CLK1 = 0x02;
constexpr uint8_t REF_CONTROL = CLK_CONTROL_MS_INT | CLK_CONTROL_PLLB_SRC | CLK_CONTROL_SRC_MS |
                                CLK_CONTROL_2MA;
constexpr uint8_t SPREAD_SPECTRUM_OFF = 0x00;
constexpr uint8_t PLL_RESET_PLLA = 0x20;
constexpr uint8_t PLL_RESET_PLLB = 0x80;

constexpr uint32_t PROBE_TRIALS = 3;
constexpr uint32_t PROBE_TIMEOUT_MS = 100;
constexpr uint8_t STATUS_SYS_INIT = 0x80;
/* After power-up the chip loads its registers and holds SYS_INIT meanwhile; writes before it is
 * done may be overwritten. A flag still set after this long means the chip is not working. */
constexpr uint32_t SYS_INIT_WAIT_MS = 50;

constexpr bool SameParams(const Si5351Params &a, const Si5351Params &b) {
    return a.p1 == b.p1 && a.p2 == b.p2 && a.p3 == b.p3;
}

constexpr uint8_t ClockControl(Si5351MsMode mode) {
    return static_cast<uint8_t>(CLK_CONTROL_PLLA_SRC | CLK_CONTROL_SRC_MS | CLK_CONTROL_8MA |
                                (mode == SI5351_MS_FRACTIONAL ? 0U : CLK_CONTROL_MS_INT));
}

static_assert(Si5351_ParamsImage({0, 0, 1}, true) ==
              std::array<uint8_t, 8>{0x00, 0x01, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00});
static_assert(SI5351_ADDR == 0xC0);

} // namespace

/* ---- Driver -----------------------------------------------------------------------------------
 */

namespace {

I2C_HandleTypeDef *g_i2c = nullptr;
bool g_ready = false;
/* What the chip holds since the last start: its setting and CLK1 control, when known. */
Si5351Setting g_current = {};
uint8_t g_current_r = 0;
uint8_t g_control = 0;
bool g_current_known = false;
/* The output-enable register with CLK1 off: every output disabled, or all but CLK0 once the
 * reference runs. */
uint8_t g_outputs_idle = OUTPUTS_ALL_DISABLED;

HAL_StatusTypeDef Si5351_WriteReg(uint8_t reg, uint8_t value) {
    return HAL_I2C_Mem_Write(g_i2c, SI5351_ADDR, reg, I2C_MEMADD_SIZE_8BIT, &value, 1,
                             HAL_MAX_DELAY);
}

HAL_StatusTypeDef Si5351_WriteParams(uint8_t base_reg, const Si5351Params &params,
                                     bool divby4 = false, uint8_t r_div_log2 = 0) {
    std::array<uint8_t, 8> image = Si5351_ParamsImage(params, divby4, r_div_log2);
    return HAL_I2C_Mem_Write(g_i2c, SI5351_ADDR, base_reg, I2C_MEMADD_SIZE_8BIT, image.data(),
                             static_cast<uint16_t>(image.size()), HAL_MAX_DELAY);
}

/* The registers of a divider block that differ from what the chip holds, as one transfer from the
 * first that differs to the last; nothing when none does. With a plan that keys smoothly this is
 * one register. */
HAL_StatusTypeDef WriteChanged(uint8_t base_reg, const std::array<uint8_t, 8> &now,
                               const std::array<uint8_t, 8> &next) {
    uint8_t first = 0;
    while (first < next.size() && now[first] == next[first]) {
        ++first;
    }
    if (first == next.size()) {
        return HAL_OK;
    }
    uint8_t last = static_cast<uint8_t>(next.size() - 1U);
    while (now[last] == next[last]) {
        --last;
    }
    uint8_t bytes[8] = {};
    for (uint8_t i = first; i <= last; ++i) {
        bytes[i - first] = next[i];
    }
    return HAL_I2C_Mem_Write(g_i2c, SI5351_ADDR, static_cast<uint16_t>(base_reg + first),
                             I2C_MEMADD_SIZE_8BIT, bytes, static_cast<uint16_t>(last - first + 1U),
                             HAL_MAX_DELAY);
}

HAL_StatusTypeDef WritePll(const Si5351Setting &s, bool whole) {
    const std::array<uint8_t, 8> next = Si5351_ParamsImage(s.pll);
    HAL_StatusTypeDef status =
        whole ? Si5351_WriteParams(REG_PLLA_PARAMETERS, s.pll)
              : WriteChanged(REG_PLLA_PARAMETERS, Si5351_ParamsImage(g_current.pll), next);
    if (status == HAL_OK) {
        g_current.pll = s.pll;
    }
    return status;
}

HAL_StatusTypeDef WriteMs(const Si5351Setting &s, uint8_t r, bool whole) {
    const bool divby4 = s.ms_mode == SI5351_MS_DIVBY4;
    HAL_StatusTypeDef status =
        whole ? Si5351_WriteParams(REG_MS1_PARAMETERS, s.ms, divby4, r)
              : WriteChanged(REG_MS1_PARAMETERS,
                             Si5351_ParamsImage(g_current.ms, g_current.ms_mode == SI5351_MS_DIVBY4,
                                                g_current_r),
                             Si5351_ParamsImage(s.ms, divby4, r));
    if (status == HAL_OK) {
        g_current.ms = s.ms;
        g_current.ms_mode = s.ms_mode;
        g_current_r = r;
    }
    return status;
}

/* Reads the device status, once a tick, until SYS_INIT is clear: HAL_OK then, HAL_TIMEOUT when it
 * stays set for SYS_INIT_WAIT_MS, or the read's failure. Bounded on the cycle counter too, so a
 * tick that stands still cannot hold it. */
HAL_StatusTypeDef WaitForSysInit() {
    constexpr uint32_t LIMIT_CYCLES = SYS_INIT_WAIT_MS * (CPU_CLOCK_HZ / 1000U);
    const uint32_t start = HAL_GetCycleCount();
    for (;;) {
        uint8_t status = 0;
        const HAL_StatusTypeDef st =
            HAL_I2C_Mem_Read(g_i2c, SI5351_ADDR, REG_DEVICE_STATUS, I2C_MEMADD_SIZE_8BIT, &status,
                             1, PROBE_TIMEOUT_MS);
        if (st != HAL_OK || (status & STATUS_SYS_INIT) == 0U) {
            return st;
        }
        const uint32_t tick = HAL_GetTick();
        while (HAL_GetTick() == tick) {
            if (HAL_GetCycleCount() - start >= LIMIT_CYCLES) {
                return HAL_TIMEOUT;
            }
            __WFI();
        }
    }
}

bool ValidTone(const Si5351TonePlan *plan, uint8_t n) {
    return plan != nullptr && n < plan->count && plan->count <= SI5351_MAX_TONES;
}

} // namespace

HAL_StatusTypeDef Si5351_Init(I2C_HandleTypeDef *hi2c) {
    g_i2c = hi2c;
    g_ready = false;
    g_current_known = false;
    g_outputs_idle = OUTPUTS_ALL_DISABLED;

    HAL_StatusTypeDef status =
        HAL_I2C_IsDeviceReady(hi2c, SI5351_ADDR, PROBE_TRIALS, PROBE_TIMEOUT_MS);
    if (status == HAL_OK) {
        status = WaitForSysInit();
    }
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

HAL_StatusTypeDef Si5351_StartTone(const Si5351TonePlan *plan, uint8_t n) {
    if (!g_ready || !ValidTone(plan, n)) {
        return HAL_ERROR;
    }
    const Si5351Setting &s = plan->tone[n];
    const uint8_t control = ClockControl(s.ms_mode);
    g_current_known = false;
    HAL_StatusTypeDef status = Si5351_WriteReg(REG_OUTPUT_ENABLE_CONTROL, g_outputs_idle);
    if (status == HAL_OK) {
        status = WritePll(s, true);
    }
    if (status == HAL_OK) {
        status = WriteMs(s, plan->r_div_log2, true);
    }
    if (status == HAL_OK) {
        status = Si5351_WriteReg(REG_PLL_RESET, PLL_RESET_PLLA);
    }
    if (status == HAL_OK) {
        status = Si5351_WriteReg(REG_CLK1_CONTROL, control);
    }
    if (status == HAL_OK) {
        g_control = control;
        g_current_known = true;
        status = Si5351_OutputEnableClk1(true);
    }
    return status;
}

HAL_StatusTypeDef Si5351_KeyTone(const Si5351TonePlan *plan, uint8_t n) {
    if (!g_ready || !ValidTone(plan, n)) {
        return HAL_ERROR;
    }
    const Si5351Setting &s = plan->tone[n];
    // A plan that cannot key by one register (tones on both sides of 150 MHz, or of a step of p1)
    // has no way between two tones that stays near them: CLK1 is set up afresh, a gap of
    // ~0.7 ms instead of a burst of other frequencies.
    const bool on_already = g_current_known && SameParams(s.pll, g_current.pll) &&
                            SameParams(s.ms, g_current.ms) && s.ms_mode == g_current.ms_mode &&
                            plan->r_div_log2 == g_current_r;
    if (on_already) {
        return HAL_OK;
    }
    if (!g_current_known || !plan->smooth || ClockControl(s.ms_mode) != g_control ||
        s.ms_mode != g_current.ms_mode || plan->r_div_log2 != g_current_r) {
        return Si5351_StartTone(plan, n);
    }
    HAL_StatusTypeDef status = WritePll(s, false);
    if (status == HAL_OK) {
        status = WriteMs(s, plan->r_div_log2, false);
    }
    if (status != HAL_OK) {
        g_current_known = false;
    }
    return status;
}

HAL_StatusTypeDef Si5351_DisableOutputs(I2C_HandleTypeDef *hi2c) {
    uint8_t value = OUTPUTS_ALL_DISABLED;
    return HAL_I2C_Mem_Write(hi2c, SI5351_ADDR, REG_OUTPUT_ENABLE_CONTROL, I2C_MEMADD_SIZE_8BIT,
                             &value, 1, HAL_MAX_DELAY);
}

HAL_StatusTypeDef Si5351_OutputsIdle(I2C_HandleTypeDef *hi2c) {
    uint8_t value = g_outputs_idle;
    return HAL_I2C_Mem_Write(hi2c, SI5351_ADDR, REG_OUTPUT_ENABLE_CONTROL, I2C_MEMADD_SIZE_8BIT,
                             &value, 1, HAL_MAX_DELAY);
}

HAL_StatusTypeDef Si5351_OutputEnableClk1(bool enable) {
    if (!g_ready) {
        return HAL_ERROR;
    }
    return Si5351_WriteReg(REG_OUTPUT_ENABLE_CONTROL,
                           static_cast<uint8_t>(enable ? g_outputs_idle & ~OUTPUT_CLK1
                                                       : g_outputs_idle));
}

HAL_StatusTypeDef Si5351_StartReference(void) {
    if (!g_ready) {
        return HAL_ERROR;
    }
    HAL_StatusTypeDef status =
        Si5351_WriteParams(REG_PLLB_PARAMETERS, Si5351_CalcParams(SI5351_REF_PLL_RATIO, 0, 1));
    if (status == HAL_OK) {
        status =
            Si5351_WriteParams(REG_MS0_PARAMETERS, Si5351_CalcParams(SI5351_REF_MS_RATIO, 0, 1));
    }
    if (status == HAL_OK) {
        status = Si5351_WriteReg(REG_PLL_RESET, PLL_RESET_PLLB);
    }
    if (status == HAL_OK) {
        status = Si5351_WriteReg(REG_CLK0_CONTROL, REF_CONTROL);
    }
    if (status == HAL_OK) {
        g_outputs_idle = static_cast<uint8_t>(OUTPUTS_ALL_DISABLED & ~OUTPUT_CLK0);
        status = Si5351_WriteReg(REG_OUTPUT_ENABLE_CONTROL, g_outputs_idle);
    }
    return status;
}
