/* Core of the platform layer: start-up of the layer, the millisecond tick, interrupt priorities,
 * the clock tree (oscillators, PLL, bus dividers, flash wait states), peripheral clock gates. */
#include "platform_internal.h"

using namespace platform;

namespace {

/* Start-up limits of the oscillators and the clock switch, in milliseconds. */
constexpr uint32_t HSE_STARTUP_TIMEOUT_MS = 100U;
constexpr uint32_t LSI_TIMEOUT_MS = 2U;
constexpr uint32_t PLL_TIMEOUT_MS = 2U;
constexpr uint32_t CLOCK_SWITCH_TIMEOUT_MS = 5000U;
constexpr uint32_t DBP_TIMEOUT_MS = 2U;
/* The regulator reaches its scale within microseconds once the PLL runs. */
constexpr uint32_t VOS_TIMEOUT_MS = 2U;

/* Priority group 4: all four implemented bits are pre-emption priority, none sub-priority. */
constexpr uint32_t PRIGROUP_4 = 3U;

volatile uint32_t g_tick;

/* Peripheral clock gates: word offset of the enable register in the RCC block, and the bit. */
struct Gate {
    uint8_t reg;
    uint8_t bit;
};
constexpr uint8_t AHB1ENR = offsetof(RCC_Regs, AHB1ENR) / 4U;
constexpr uint8_t APB1ENR = offsetof(RCC_Regs, APB1ENR) / 4U;
constexpr uint8_t APB2ENR = offsetof(RCC_Regs, APB2ENR) / 4U;
constexpr uint8_t BDCR = offsetof(RCC_Regs, BDCR) / 4U;
constexpr uint8_t RSTR_BELOW_ENR =
    (offsetof(RCC_Regs, AHB1ENR) - offsetof(RCC_Regs, AHB1RSTR)) / 4U;
static_assert(offsetof(RCC_Regs, APB1ENR) - offsetof(RCC_Regs, APB1RSTR) ==
                  sizeof(uint32_t) * RSTR_BELOW_ENR &&
              offsetof(RCC_Regs, APB2ENR) - offsetof(RCC_Regs, APB2RSTR) ==
                  sizeof(uint32_t) * RSTR_BELOW_ENR);
constexpr Gate k_gates[] = {
    {AHB1ENR, 0},  /* RCC_GATE_GPIOA */
    {AHB1ENR, 1},  /* RCC_GATE_GPIOB */
    {AHB1ENR, 2},  /* RCC_GATE_GPIOC */
    {AHB1ENR, 7},  /* RCC_GATE_GPIOH */
    {APB1ENR, 21}, /* RCC_GATE_I2C1 */
    {APB2ENR, 4},  /* RCC_GATE_USART1 */
    {APB1ENR, 17}, /* RCC_GATE_USART2 */
    {APB2ENR, 0},  /* RCC_GATE_TIM1 */
    {APB1ENR, 1},  /* RCC_GATE_TIM3 */
    {APB1ENR, 0},  /* RCC_GATE_TIM2 */
    {APB1ENR, 28}, /* RCC_GATE_PWR */
    {APB2ENR, 14}, /* RCC_GATE_SYSCFG */
    {BDCR, 15},    /* RCC_GATE_RTC */
};
static_assert(sizeof k_gates / sizeof k_gates[0] == RCC_GATE_RTC + 1);

/* Divider shift of the AHB prescaler field HPRE (1, 2, 4 ... 512; 32 does not exist). */
constexpr uint8_t k_ahb_shift[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 6, 7, 8, 9};

/* Divider shift of an APB prescaler field PPRE (1, 2, 4, 8, 16). */
uint32_t ApbShift(uint32_t ppre) {
    return (ppre & 4U) != 0U ? (ppre & 3U) + 1U : 0U;
}

/* SysTick interrupt every millisecond from HCLK, at the given pre-emption priority. */
HAL_StatusTypeDef InitTick(uint32_t priority) {
    const uint32_t reload = HclkHz() / 1000U - 1U;
    if (reload > 0xFFFFFFU) {
        return HAL_ERROR;
    }
    SysTick_Regs *st = SysTick();
    st->LOAD = reload;
    st->VAL = 0U;
    HAL_NVIC_SetPriority(SysTick_IRQn, priority, 0U);
    st->CTRL = SYSTICK_CTRL_CLKSOURCE | SYSTICK_CTRL_TICKINT | SYSTICK_CTRL_ENABLE;
    return HAL_OK;
}

/* Flash wait states; true when the flash interface took the value. */
bool SetFlashLatency(uint32_t latency) {
    FLASH_Regs *flash = Flash();
    ModifyBits(flash->ACR, FLASH_ACR_LATENCY_Msk, latency);
    return (flash->ACR & FLASH_ACR_LATENCY_Msk) == latency;
}

/* Switches an oscillator (or the PLL) on or off and waits until its ready flag follows; each
 * ready flag sits just above its enable bit. */
HAL_StatusTypeDef Oscillator(volatile uint32_t &reg, uint32_t enable, bool on, uint32_t timeout) {
    ModifyBits(reg, enable, on ? enable : 0U);
    const uint32_t ready = enable << 1;
    return WaitBits(reg, ready, on ? ready : 0U, HAL_GetTick(), timeout) ? HAL_OK : HAL_TIMEOUT;
}
static_assert(RCC_CR_HSERDY == RCC_CR_HSEON << 1 && RCC_CR_PLLRDY == RCC_CR_PLLON << 1 &&
              RCC_CSR_LSIRDY == RCC_CSR_LSION << 1);

bool PllSettingsValid(const RCC_PLLInitTypeDef &pll) {
    return pll.PLLM >= 2U && pll.PLLM <= 63U && pll.PLLN >= 50U && pll.PLLN <= 432U &&
           (pll.PLLP == 2U || pll.PLLP == 4U || pll.PLLP == 6U || pll.PLLP == 8U) &&
           pll.PLLQ >= 2U && pll.PLLQ <= 15U;
}

HAL_StatusTypeDef ConfigurePll(const RCC_PLLInitTypeDef &pll) {
    RCC_Regs *rcc = Rcc();
    const bool on = pll.PLLState == RCC_PLL_ON;
    /* The PLL cannot be changed while it clocks the system. */
    if ((rcc->CFGR & RCC_CFGR_SWS_Msk) == (RCC_SYSCLKSOURCE_PLLCLK << RCC_CFGR_SWS_Pos) ||
        (on && !PllSettingsValid(pll))) {
        return HAL_ERROR;
    }
    HAL_StatusTypeDef st = Oscillator(rcc->CR, RCC_CR_PLLON, false, PLL_TIMEOUT_MS);
    if (st != HAL_OK || !on) {
        return st;
    }
    /* Reserved bits keep their reset values. */
    ModifyBits(rcc->PLLCFGR, RCC_PLLCFGR_FIELDS,
               (pll.PLLM << RCC_PLLCFGR_PLLM_Pos) | (pll.PLLN << RCC_PLLCFGR_PLLN_Pos) |
                   (((pll.PLLP >> 1) - 1U) << RCC_PLLCFGR_PLLP_Pos) |
                   (pll.PLLSource & RCC_PLLCFGR_PLLSRC) | (pll.PLLQ << RCC_PLLCFGR_PLLQ_Pos));
    return Oscillator(rcc->CR, RCC_CR_PLLON, true, PLL_TIMEOUT_MS);
}

} // namespace

namespace platform {

uint32_t SysclkHz() {
    const RCC_Regs *rcc = Rcc();
    switch ((rcc->CFGR & RCC_CFGR_SWS_Msk) >> RCC_CFGR_SWS_Pos) {
    case RCC_SYSCLKSOURCE_HSE:
        return HSE_VALUE;
    case RCC_SYSCLKSOURCE_PLLCLK: {
        const uint32_t cfg = rcc->PLLCFGR;
        const uint32_t input = (cfg & RCC_PLLCFGR_PLLSRC) != 0U ? HSE_VALUE : HSI_HZ;
        const uint32_t m = (cfg >> RCC_PLLCFGR_PLLM_Pos) & 0x3FU;
        const uint32_t n = (cfg >> RCC_PLLCFGR_PLLN_Pos) & 0x1FFU;
        const uint32_t p = (((cfg >> RCC_PLLCFGR_PLLP_Pos) & 3U) + 1U) * 2U;
        /* The PLL input (input / M) is 1..2 MHz, so the product fits in 32 bits. */
        return m == 0U ? 0U : input / m * n / p;
    }
    default:
        return HSI_HZ;
    }
}

uint32_t HclkHz() {
    return SysclkHz() >> k_ahb_shift[(Rcc()->CFGR & RCC_CFGR_HPRE_Msk) >> RCC_CFGR_HPRE_Pos];
}

uint32_t Pclk1Hz() {
    return HclkHz() >> ApbShift((Rcc()->CFGR & RCC_CFGR_PPRE1_Msk) >> RCC_CFGR_PPRE1_Pos);
}

uint32_t Pclk2Hz() {
    return HclkHz() >> ApbShift((Rcc()->CFGR & RCC_CFGR_PPRE2_Msk) >> RCC_CFGR_PPRE2_Pos);
}

bool TimedOut(uint32_t start, uint32_t timeout) {
    WaitHook();
    return timeout != HAL_MAX_DELAY && HAL_GetTick() - start > timeout;
}

bool WaitBits(const volatile uint32_t &reg, uint32_t mask, uint32_t want, uint32_t start,
              uint32_t timeout) {
    for (;;) {
        PollHook();
        if ((reg & mask) == want) {
            return true;
        }
        if (TimedOut(start, timeout)) {
            return false;
        }
    }
}

namespace {

constexpr uint32_t LONGEST_CYCLE_LIMIT_MS = 40000U;

void StartCycleCounter() {
    volatile uint32_t &demcr = *RegsAt<volatile uint32_t>(DEMCR_ADDR);
    DWT_Regs *dwt = RegsAt<DWT_Regs>(DWT_BASE);
    if ((demcr & DEMCR_TRCENA) == 0U || (dwt->CTRL & DWT_CTRL_CYCCNTENA) == 0U) {
        SetBits(demcr, DEMCR_TRCENA);
        SetBits(dwt->CTRL, DWT_CTRL_CYCCNTENA);
    }
}

} // namespace

CycleLimit::CycleLimit(uint32_t timeout_ms)
    : start_(0U), cycles_(0U), never_(timeout_ms == HAL_MAX_DELAY) {
    StartCycleCounter();
    start_ = HAL_GetCycleCount();
    const uint32_t ms = timeout_ms < LONGEST_CYCLE_LIMIT_MS ? timeout_ms : LONGEST_CYCLE_LIMIT_MS;
    cycles_ = ms * (HclkHz() / 1000U);
}

bool CycleLimit::Expired() const {
    return !never_ && HAL_GetCycleCount() - start_ > cycles_;
}

bool CycleLimit::Passed() const {
    WaitHook();
    return Expired();
}

bool WaitBitsWithin(const volatile uint32_t &reg, uint32_t mask, uint32_t want,
                    const CycleLimit &limit) {
    for (;;) {
        PollHook();
        if ((reg & mask) == want) {
            return true;
        }
        if (limit.Passed()) {
            return false;
        }
    }
}

} // namespace platform

HAL_StatusTypeDef HAL_Init(void) {
    SetBits(Flash()->ACR, FLASH_ACR_ICEN | FLASH_ACR_DCEN | FLASH_ACR_PRFTEN);
    Scb()->AIRCR = SCB_AIRCR_VECTKEY | (PRIGROUP_4 << SCB_AIRCR_PRIGROUP_Pos);
    SetBits(*RegsAt<volatile uint32_t>(DEMCR_ADDR), DEMCR_TRCENA); /* the cycle counter */
    RegsAt<DWT_Regs>(DWT_BASE)->CYCCNT = 0U;
    SetBits(RegsAt<DWT_Regs>(DWT_BASE)->CTRL, DWT_CTRL_CYCCNTENA);
    if (InitTick(TICK_INT_PRIORITY) != HAL_OK) {
        return HAL_ERROR;
    }
    HAL_MspInit();
    return HAL_OK;
}

void HAL_IncTick(void) {
    g_tick = g_tick + 1U;
}

uint32_t HAL_GetTick(void) {
    return g_tick;
}

/* The unique ID lies in system memory, three read-only words. */
uint32_t HAL_GetUIDw0(void) {
    return RegsAt<const volatile uint32_t>(UID_BASE)[0];
}
uint32_t HAL_GetUIDw1(void) {
    return RegsAt<const volatile uint32_t>(UID_BASE)[1];
}
uint32_t HAL_GetUIDw2(void) {
    return RegsAt<const volatile uint32_t>(UID_BASE)[2];
}

/* With all four priority bits pre-emptive the sub-priority has no bits to go to. */
void HAL_NVIC_SetPriority(IRQn_Type irq, uint32_t preempt_priority, uint32_t sub_priority) {
    (void)sub_priority;
    const auto value = static_cast<uint8_t>((preempt_priority & 0xFU) << (8U - NVIC_PRIO_BITS));
    const auto n = static_cast<int32_t>(irq);
    if (n >= 0) {
        Nvic()->IP[n] = value;
    } else {
        /* System handlers 4..15 (IRQn -12..-1) have their bytes in SHPR1..3. */
        Scb()->SHP[(static_cast<uint32_t>(n) & 0xFU) - 4U] = value;
    }
}

void HAL_NVIC_EnableIRQ(IRQn_Type irq) {
    const auto n = static_cast<uint32_t>(irq);
    if (static_cast<int32_t>(irq) >= 0) {
        Nvic()->ISER[n >> 5] = 1UL << (n & 31U);
    }
}

void HAL_RCC_EnableGate(RCC_GateTypeDef gate) {
    const Gate g = k_gates[gate];
    volatile uint32_t *reg = reinterpret_cast<volatile uint32_t *>(Rcc()) + g.reg;
    SetBits(*reg, 1UL << g.bit);
    /* Read back: the peripheral may be touched only a few cycles after its clock starts. */
    (void)*reg;
}

/* Each reset register lies 0x20 below its peripherals' enable register, bit for bit; the
 * backup domain (the RTC's gate) has a reset of its own, not set here. */
void HAL_RCC_SetPeripheralReset(RCC_GateTypeDef gate, uint32_t held) {
    const Gate g = k_gates[gate];
    if (g.reg == BDCR) {
        return;
    }
    volatile uint32_t *reg = reinterpret_cast<volatile uint32_t *>(Rcc()) + g.reg - RSTR_BELOW_ENR;
    if (held != 0U) {
        SetBits(*reg, 1UL << g.bit);
    } else {
        ClearBits(*reg, 1UL << g.bit);
    }
    (void)*reg;
}

void HAL_PWR_SetVoltageScaling(uint32_t scale) {
    PWR_Regs *pwr = Pwr();
    ModifyBits(pwr->CR, PWR_CR_VOS_Msk, scale & PWR_CR_VOS_Msk);
    (void)pwr->CR;
}

HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef *init) {
    if (init == nullptr) {
        return HAL_ERROR;
    }
    RCC_Regs *rcc = Rcc();
    HAL_StatusTypeDef st = HAL_OK;
    if ((init->OscillatorType & RCC_OSCILLATORTYPE_HSE) != 0U) {
        st = Oscillator(rcc->CR, RCC_CR_HSEON, init->HSEState != RCC_HSE_OFF,
                        HSE_STARTUP_TIMEOUT_MS);
    }
    if (st == HAL_OK && (init->OscillatorType & RCC_OSCILLATORTYPE_LSI) != 0U) {
        st = Oscillator(rcc->CSR, RCC_CSR_LSION, init->LSIState != RCC_LSI_OFF, LSI_TIMEOUT_MS);
    }
    if (st == HAL_OK && init->PLL.PLLState != RCC_PLL_NONE) {
        st = ConfigurePll(init->PLL);
    }
    return st;
}

HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef *init, uint32_t flash_latency) {
    if (init == nullptr || flash_latency > FLASH_ACR_LATENCY_Msk) {
        return HAL_ERROR;
    }
    RCC_Regs *rcc = Rcc();
    /* More wait states before the clock goes up, fewer only after it came down. */
    if (flash_latency > (Flash()->ACR & FLASH_ACR_LATENCY_Msk) && !SetFlashLatency(flash_latency)) {
        return HAL_ERROR;
    }
    if ((init->ClockType & RCC_CLOCKTYPE_HCLK) != 0U) {
        /* Slowest APB clocks while HCLK changes, so no bus runs above its limit meanwhile. */
        if ((init->ClockType & RCC_CLOCKTYPE_PCLK1) != 0U) {
            SetBits(rcc->CFGR, RCC_CFGR_PPRE1_Msk);
        }
        if ((init->ClockType & RCC_CLOCKTYPE_PCLK2) != 0U) {
            SetBits(rcc->CFGR, RCC_CFGR_PPRE2_Msk);
        }
        ModifyBits(rcc->CFGR, RCC_CFGR_HPRE_Msk, init->AHBCLKDivider & RCC_CFGR_HPRE_Msk);
    }
    if ((init->ClockType & RCC_CLOCKTYPE_SYSCLK) != 0U) {
        const uint32_t source = init->SYSCLKSource & RCC_CFGR_SW_Msk;
        const uint32_t ready = source == RCC_SYSCLKSOURCE_PLLCLK ? RCC_CR_PLLRDY
                               : source == RCC_SYSCLKSOURCE_HSE  ? RCC_CR_HSERDY
                                                                 : RCC_CR_HSIRDY;
        if ((rcc->CR & ready) == 0U) {
            return HAL_ERROR;
        }
        /* Full speed only once the regulator has reached the scale it was set to. */
        if (source == RCC_SYSCLKSOURCE_PLLCLK &&
            !WaitBits(Pwr()->CSR, PWR_CSR_VOSRDY, PWR_CSR_VOSRDY, HAL_GetTick(), VOS_TIMEOUT_MS)) {
            return HAL_TIMEOUT;
        }
        ModifyBits(rcc->CFGR, RCC_CFGR_SW_Msk, source);
        if (!WaitBits(rcc->CFGR, RCC_CFGR_SWS_Msk, source << RCC_CFGR_SWS_Pos, HAL_GetTick(),
                      CLOCK_SWITCH_TIMEOUT_MS)) {
            return HAL_TIMEOUT;
        }
    }
    if (flash_latency < (Flash()->ACR & FLASH_ACR_LATENCY_Msk) && !SetFlashLatency(flash_latency)) {
        return HAL_ERROR;
    }
    if ((init->ClockType & RCC_CLOCKTYPE_PCLK1) != 0U) {
        ModifyBits(rcc->CFGR, RCC_CFGR_PPRE1_Msk, init->APB1CLKDivider & RCC_CFGR_PPRE1_Msk);
    }
    if ((init->ClockType & RCC_CLOCKTYPE_PCLK2) != 0U) {
        ModifyBits(rcc->CFGR, RCC_CFGR_PPRE2_Msk, (init->APB2CLKDivider << 3) & RCC_CFGR_PPRE2_Msk);
    }
    /* The tick keeps its millisecond at the new HCLK. */
    return InitTick(TICK_INT_PRIORITY);
}

HAL_StatusTypeDef HAL_RCCEx_PeriphCLKConfig(RCC_PeriphCLKInitTypeDef *init) {
    if (init == nullptr) {
        return HAL_ERROR;
    }
    if ((init->PeriphClockSelection & RCC_PERIPHCLK_RTC) == 0U) {
        return HAL_OK;
    }
    RCC_Regs *rcc = Rcc();
    PWR_Regs *pwr = Pwr();
    /* The RTC clock selection lives in the backup domain, writable only with DBP set. */
    SetBits(rcc->APB1ENR, RCC_APB1ENR_PWREN);
    (void)rcc->APB1ENR;
    SetBits(pwr->CR, PWR_CR_DBP);
    if (!WaitBits(pwr->CR, PWR_CR_DBP, PWR_CR_DBP, HAL_GetTick(), DBP_TIMEOUT_MS)) {
        return HAL_TIMEOUT;
    }
    const uint32_t wanted = init->RTCClockSelection & RCC_BDCR_RTCSEL_Msk;
    const uint32_t current = rcc->BDCR & RCC_BDCR_RTCSEL_Msk;
    if (current != 0U && current != wanted) {
        /* The selection is write-once: only a backup-domain reset frees it again. */
        const uint32_t keep = rcc->BDCR & ~RCC_BDCR_RTCSEL_Msk;
        SetBits(rcc->BDCR, RCC_BDCR_BDRST);
        ClearBits(rcc->BDCR, RCC_BDCR_BDRST);
        rcc->BDCR = keep;
    }
    SetBits(rcc->BDCR, wanted);
    return HAL_OK;
}

uint32_t HAL_RCC_GetResetFlag(uint32_t flag) {
    return (Rcc()->CSR >> (flag & 0x1FU)) & 1U;
}

void HAL_RCC_ClearResetFlags(void) {
    SetBits(Rcc()->CSR, RCC_CSR_RMVF);
}

__attribute__((weak)) void HAL_MspInit(void) {}
