#include "fake_chip.h"

#include "platform_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// DR of a USART or I2C holds this when no write is pending; a written byte replaces it.
constexpr uint32_t DR_EMPTY = 0xFFFFFFFFU;
// Marks a received byte in a USART's DR so it is not taken for a byte to send.
constexpr uint32_t DR_RECEIVED = 1U << 16;

constexpr uintptr_t PERIPH_START = 0x40000000U;
constexpr size_t PERIPH_SPAN = 0x30000U;
alignas(64) uint8_t g_periph[PERIPH_SPAN];
alignas(64) uint8_t g_scs[0x1000];
alignas(64) uint8_t g_dwt[0x10];
// The unique ID's three words in system memory.
alignas(16) uint8_t g_uid[12] = {0x31, 0x00, 0x2F, 0x00, 0x09, 0x51,
                                 0x33, 0x30, 0x38, 0x34, 0x35, 0x36};
// The two settings sectors; the rest of the flash is not reachable from the register layer.
constexpr uintptr_t SETTINGS_START = FLASH_SECTOR_2_ADDR;
constexpr size_t SETTINGS_SPAN = 2 * FLASH_SECTOR_16K_SIZE;
alignas(64) uint8_t g_flash[SETTINGS_SPAN];
int g_erases[2];

fake::Behaviour g_chip;
fake::I2cScript g_i2c;
std::vector<std::string> g_i2c_events;
std::map<uintptr_t, std::string> g_uart_sent;
uint32_t g_latency_at_switch;
bool g_masked;
int g_wait_turns;

enum class Phase { Idle, Address, Data, Receive };
struct I2cState {
    Phase phase = Phase::Idle;
    int byte = 0;           // index of the next byte within the transfer (0: address)
    int addresses = 0;      // address phases seen
    int events = 0;         // events answered
    int waited = 0;         // idle turns spent on the pending event
    bool delivered = false; // the byte of a read is in DR
} g_i2c_state;

const uintptr_t k_usarts[] = {USART1_BASE, USART2_BASE, USART6_BASE};

void Log(const char *fmt, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, fmt, value);
    g_i2c_events.emplace_back(text);
}

void PollRcc() {
    RCC_Regs &rcc = fake::Rcc();
    auto follow = [](volatile uint32_t &reg, uint32_t on, uint32_t ready, bool works) {
        const bool want = (reg & on) != 0U && works;
        reg = want ? reg | ready : reg & ~ready;
    };
    follow(rcc.CR, RCC_CR_HSEON, RCC_CR_HSERDY, g_chip.hse_starts);
    follow(rcc.CR, RCC_CR_PLLON, RCC_CR_PLLRDY, g_chip.pll_locks);
    follow(rcc.CSR, RCC_CSR_LSION, RCC_CSR_LSIRDY, g_chip.lsi_starts);
    // The regulator reaches its voltage scale only with the PLL on.
    PWR_Regs &pwr = fake::At<PWR_Regs>(PWR_BASE);
    const bool vos = (rcc.CR & RCC_CR_PLLRDY) != 0U && g_chip.regulator_ready;
    pwr.CSR = vos ? pwr.CSR | PWR_CSR_VOSRDY : pwr.CSR & ~PWR_CSR_VOSRDY;
    const uint32_t sw = rcc.CFGR & RCC_CFGR_SW_Msk;
    if (g_chip.clock_switches && fake::Field(rcc.CFGR, RCC_CFGR_SWS_Pos, 2) != sw) {
        rcc.CFGR = (rcc.CFGR & ~RCC_CFGR_SWS_Msk) | (sw << RCC_CFGR_SWS_Pos);
        g_latency_at_switch = fake::Flash().ACR & FLASH_ACR_LATENCY_Msk;
    }
}

// The flash controller erases a sector at STRT (all bits to 1); programmed words go straight
// into the memory, as the register layer writes them.
void PollFlash() {
    FLASH_Regs &flash = fake::Flash();
    if ((flash.CR & FLASH_CR_STRT) != 0U && (flash.CR & FLASH_CR_SER) != 0U) {
        const uint32_t sector = (flash.CR & FLASH_CR_SNB_Msk) >> FLASH_CR_SNB_Pos;
        if (sector == FLASH_SECTOR_2 || sector == FLASH_SECTOR_3) {
            std::memset(g_flash + (sector - FLASH_SECTOR_2) * FLASH_SECTOR_16K_SIZE, 0xFF,
                        FLASH_SECTOR_16K_SIZE);
            ++g_erases[sector - FLASH_SECTOR_2];
        }
        flash.CR = flash.CR & ~FLASH_CR_STRT;
        flash.SR = flash.SR | FLASH_SR_EOP;
    }
}

void PollRtc() {
    RTC_TypeDef &rtc = fake::Rtc();
    const bool init = (rtc.ISR & RTC_ISR_INIT) != 0U && g_chip.rtc_enters_init;
    rtc.ISR = init ? rtc.ISR | RTC_ISR_INITF : rtc.ISR & ~RTC_ISR_INITF;
    if ((rtc.ISR & (RTC_ISR_INIT | RTC_ISR_RSF)) == 0U && g_chip.rtc_resyncs) {
        rtc.ISR = rtc.ISR | RTC_ISR_RSF;
    }
}

void PollUarts() {
    for (uintptr_t base : k_usarts) {
        USART_TypeDef &u = fake::At<USART_TypeDef>(base);
        if (u.DR != DR_EMPTY && (u.DR & DR_RECEIVED) == 0U) {
            g_uart_sent[base].push_back(static_cast<char>(u.DR & 0xFFU));
            u.DR = DR_EMPTY;
        }
        u.SR = g_chip.uart_tx_stalled ? u.SR & ~(USART_SR_TXE | USART_SR_TC)
                                      : u.SR | USART_SR_TXE | USART_SR_TC;
    }
}

// The IWDG's update: a new prescaler or reload (the values changed since the last turn) sets PVU
// and RVU for iwdg_update_turns turns. Flags set by a test stay until an update clears them.
struct IwdgState {
    uint32_t pr = 0, rlr = 0;
    int busy = 0; // turns until the update is through; < 0: never
    bool written_during_update = false;
} g_iwdg;

void PollIwdg() {
    constexpr uint32_t UPDATING = IWDG_SR_PVU | IWDG_SR_RVU;
    IWDG_TypeDef &w = fake::At<IWDG_TypeDef>(IWDG_BASE);
    if (w.PR != g_iwdg.pr || w.RLR != g_iwdg.rlr) {
        g_iwdg.written_during_update = g_iwdg.written_during_update || (w.SR & UPDATING) != 0U;
        g_iwdg.pr = w.PR;
        g_iwdg.rlr = w.RLR;
        g_iwdg.busy = g_chip.iwdg_update_turns;
        w.SR = g_iwdg.busy != 0 ? UPDATING : 0U;
    }
    if (g_iwdg.busy > 0 && --g_iwdg.busy == 0) {
        w.SR = 0U;
    }
}

// Whether the scripted bus answers the pending START or byte on this turn.
bool I2cReady() {
    if (g_i2c.stall_after >= 0 && g_i2c_state.events >= g_i2c.stall_after) {
        return false;
    }
    if (g_i2c_state.waited < g_i2c.slow_turns) {
        ++g_i2c_state.waited;
        return false;
    }
    g_i2c_state.waited = 0;
    ++g_i2c_state.events;
    return true;
}

// The scripted device takes the byte written to DR: acknowledged or not, or a bus fault.
void I2cByte(I2C_TypeDef &i2c) {
    constexpr uint32_t MSL = 1U << 0;
    constexpr uint32_t TRA = 1U << 2;
    const int index = g_i2c_state.byte++;
    const uint32_t byte = i2c.DR & 0xFFU;
    Log("%02X", byte);
    i2c.DR = DR_EMPTY;
    i2c.SR1 = i2c.SR1 & ~(I2C_SR1_SB | I2C_SR1_ADDR | I2C_SR1_TXE | I2C_SR1_BTF);
    bool ack = index != g_i2c.nack_at;
    if (index == 0) {
        ack = ack && g_i2c.present && (byte & ~1U) == g_i2c.address &&
              g_i2c_state.addresses++ >= g_i2c.nacks_before_ack;
    }
    if (index == g_i2c.arbitration_lost_at) {
        i2c.SR1 = i2c.SR1 | I2C_SR1_ARLO;
        i2c.SR2 = i2c.SR2 & ~(MSL | TRA);
        g_i2c_state.phase = Phase::Idle;
    } else if (index == g_i2c.bus_error_at) {
        i2c.SR1 = i2c.SR1 | I2C_SR1_BERR;
    } else if (!ack) {
        i2c.SR1 = i2c.SR1 | I2C_SR1_AF;
    } else if (index == 0 && (byte & 1U) != 0U) {
        i2c.SR1 = i2c.SR1 | I2C_SR1_ADDR;
        i2c.SR2 = i2c.SR2 & ~TRA;
        g_i2c_state.phase = Phase::Receive;
        g_i2c_state.delivered = false;
    } else if (index == 0) {
        i2c.SR1 = i2c.SR1 | I2C_SR1_ADDR | I2C_SR1_TXE;
        i2c.SR2 = i2c.SR2 | TRA;
        g_i2c_state.phase = Phase::Data;
    } else {
        i2c.SR1 = i2c.SR1 | I2C_SR1_TXE | I2C_SR1_BTF;
    }
}

void PollI2c() {
    I2C_TypeDef &i2c = fake::I2c(I2C1);
    constexpr uint32_t MSL = 1U << 0;
    constexpr uint32_t TRA = 1U << 2;
    if (g_i2c.bus_stuck_busy) {
        i2c.SR2 = i2c.SR2 | I2C_SR2_BUSY;
    }
    if ((i2c.CR1 & I2C_CR1_START) != 0U) {
        if (I2cReady()) {
            i2c.CR1 = i2c.CR1 & ~I2C_CR1_START;
            i2c.SR1 =
                (i2c.SR1 & ~(I2C_SR1_ADDR | I2C_SR1_TXE | I2C_SR1_BTF | I2C_SR1_RXNE)) | I2C_SR1_SB;
            i2c.SR2 = i2c.SR2 | MSL | I2C_SR2_BUSY;
            g_i2c_state.phase = Phase::Address;
            g_i2c_state.byte = 0;
            i2c.DR = DR_EMPTY;
            g_i2c_events.emplace_back("START");
        }
    } else if (g_i2c_state.phase == Phase::Receive) {
        // The byte comes in once the layer waits for it (ADDR cleared by its reads, which plain
        // memory cannot see); acknowledged as CR1's ACK says then, and whether the STOP that
        // must follow the last byte was already asked for.
        if (!g_i2c_state.delivered && I2cReady()) {
            g_i2c_state.delivered = true;
            i2c.SR1 = (i2c.SR1 & ~I2C_SR1_ADDR) | I2C_SR1_RXNE;
            i2c.DR = g_i2c.read_value;
            Log("<%02X", g_i2c.read_value);
            g_i2c_events.emplace_back((i2c.CR1 & I2C_CR1_ACK) != 0U ? "ACK" : "NACK");
            if ((i2c.CR1 & I2C_CR1_STOP) == 0U) {
                g_i2c_events.emplace_back("no STOP yet");
            }
        }
    } else if (i2c.DR != DR_EMPTY && g_i2c_state.phase != Phase::Idle) {
        // Writing DR empties TXE until the byte has gone out.
        i2c.SR1 = i2c.SR1 & ~(I2C_SR1_TXE | I2C_SR1_BTF);
        if (I2cReady()) {
            I2cByte(i2c);
        }
    }
    if ((i2c.CR1 & I2C_CR1_STOP) != 0U) {
        i2c.CR1 = i2c.CR1 & ~I2C_CR1_STOP;
        i2c.SR1 = i2c.SR1 & ~(I2C_SR1_SB | I2C_SR1_ADDR | I2C_SR1_TXE | I2C_SR1_BTF);
        i2c.SR2 = i2c.SR2 & ~(MSL | TRA | (g_i2c.bus_stuck_busy ? 0U : I2C_SR2_BUSY));
        g_i2c_state.phase = Phase::Idle;
        g_i2c_events.emplace_back("STOP");
    }
}

} // namespace

namespace platform {

void *FakeRegisterBlock(uintptr_t address) {
    if (address >= PERIPH_START && address < PERIPH_START + PERIPH_SPAN) {
        return g_periph + (address - PERIPH_START);
    }
    if (address >= SETTINGS_START && address < SETTINGS_START + SETTINGS_SPAN) {
        return g_flash + (address - SETTINGS_START);
    }
    if (address >= DWT_BASE && address < DWT_BASE + sizeof g_dwt) {
        return g_dwt + (address - DWT_BASE);
    }
    if (address >= UID_BASE && address < UID_BASE + sizeof g_uid) {
        return g_uid + (address - UID_BASE);
    }
    if (address >= SCS_BASE && address < SCS_BASE + sizeof g_scs) {
        return g_scs + (address - SCS_BASE);
    }
    std::fprintf(stderr, "fake chip: no register block at 0x%08lX\n",
                 static_cast<unsigned long>(address));
    std::abort();
}

void FakePoll() {
    fake::Poll();
}

void FakeWait() {
    if (!g_chip.tick_stands_still) {
        HAL_IncTick();
    }
    DWT_Regs &dwt = fake::At<DWT_Regs>(DWT_BASE);
    dwt.CYCCNT = dwt.CYCCNT + HclkHz() / 1000U;
    if (++g_wait_turns > 1000000) {
        throw fake::Stuck{};
    }
}

} // namespace platform

namespace fake {

void Reset() {
    std::memset(g_periph, 0, sizeof g_periph);
    std::memset(g_scs, 0, sizeof g_scs);
    std::memset(g_dwt, 0, sizeof g_dwt);
    std::memset(g_flash, 0xFF, sizeof g_flash);
    g_erases[0] = g_erases[1] = 0;
    g_chip = Behaviour{};
    g_i2c = I2cScript{};
    g_i2c_state = I2cState{};
    g_i2c_events.clear();
    g_uart_sent.clear();
    g_latency_at_switch = 0;
    g_masked = false;
    g_wait_turns = 0;
    g_iwdg = IwdgState{};

    // Reset values (RM0383) of the registers whose reset state matters to the layer.
    Rcc().CR = RCC_CR_HSION | RCC_CR_HSIRDY | 0x80U; // HSI on and ready, trimming 16
    Rcc().PLLCFGR = 0x24003010U;
    Pwr().CR = 0x00008000U; // regulator scale 2
    Scb().AIRCR = 0xFA050000U;
    // Debug pins PA13, PA14, PA15, PB3, PB4 in their alternate function.
    Gpio(GPIOA).MODER = 0xA8000000U;
    Gpio(GPIOA).OSPEEDR = 0x0C000000U;
    Gpio(GPIOA).PUPDR = 0x64000000U;
    Gpio(GPIOB).MODER = 0x00000280U;
    Gpio(GPIOB).OSPEEDR = 0x000000C0U;
    Gpio(GPIOB).PUPDR = 0x00000100U;
    for (uintptr_t base : k_usarts) {
        At<USART_TypeDef>(base).SR = USART_SR_TXE | USART_SR_TC;
        At<USART_TypeDef>(base).DR = DR_EMPTY;
    }
    I2c(I2C1).DR = DR_EMPTY;
    Rtc().ISR = 0x00000007U;
    Rtc().PRER = 0x007F00FFU;
}

void Poll() {
    PollIwdg();
    PollRcc();
    PollRtc();
    PollFlash();
    PollUarts();
    PollI2c();
}

Behaviour &chip() {
    return g_chip;
}
int flash_erases(uint32_t sector) {
    return g_erases[sector - FLASH_SECTOR_2];
}
I2cScript &i2c_script() {
    return g_i2c;
}
const std::vector<std::string> &i2c_events() {
    return g_i2c_events;
}
const std::string &uart_sent(uintptr_t usart_base) {
    return g_uart_sent[usart_base];
}
void IwdgUpdateInProgress() {
    const IWDG_TypeDef &w = At<IWDG_TypeDef>(IWDG_BASE);
    g_iwdg.pr = w.PR;
    g_iwdg.rlr = w.RLR;
    g_iwdg.busy = g_chip.iwdg_update_turns;
    At<IWDG_TypeDef>(IWDG_BASE).SR = IWDG_SR_PVU | IWDG_SR_RVU;
}
bool iwdg_written_during_update() {
    return g_iwdg.written_during_update;
}
uint32_t latency_at_clock_switch() {
    return g_latency_at_switch;
}
bool irq_masked() {
    return g_masked;
}

void UartReceive(uintptr_t usart_base, uint8_t byte, uint32_t error_flags) {
    USART_TypeDef &u = At<USART_TypeDef>(usart_base);
    u.DR = DR_RECEIVED | byte;
    u.SR = u.SR | USART_SR_RXNE | error_flags;
}

} // namespace fake

extern "C" {
void __disable_irq(void) {
    g_masked = true;
}
void __enable_irq(void) {
    g_masked = false;
}
unsigned __get_PRIMASK(void) {
    return g_masked ? 1U : 0U;
}
void __set_PRIMASK(unsigned value) {
    g_masked = (value & 1U) != 0U;
}
void __NOP(void) {}
void __WFI(void) {
    if (g_masked) {
        throw fake::Halted{};
    }
    fake::Poll();
}
}
