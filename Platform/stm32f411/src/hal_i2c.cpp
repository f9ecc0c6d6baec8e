/* I2C master: blocking register writes and one-byte register reads, and the device-ready probe,
 * polled on the event flags.
 * Every wait is bounded by the caller's time-out; a bus still busy from before gets 25 ms. A
 * device that holds the bus would stall an event for good even when the caller waits without
 * limit (HAL_MAX_DELAY), so every single event also gives up after 25 ms: no legitimate event on a
 * 400 kHz bus takes that long, and the main loop must never hang on the bus. The limits are
 * counted on the cycle counter: a transfer from a fault handler or an interrupt, where the tick
 * stands still, ends too. */
#include "platform_internal.h"

using namespace platform;

namespace {

constexpr uint32_t BUSY_TIMEOUT_MS = 25U;
constexpr uint32_t STUCK_BUS_MS = 25U;
constexpr uint32_t SR1_ERRORS = I2C_SR1_BERR | I2C_SR1_ARLO | I2C_SR1_AF;
constexpr uint32_t I2C_SR2_MSL = 1U << 0;
/* SR1 error bits 8..10 line up with HAL_I2C_ERROR_BERR, _ARLO and _AF. */
static_assert((I2C_SR1_BERR >> 8) == HAL_I2C_ERROR_BERR &&
              (I2C_SR1_ARLO >> 8) == HAL_I2C_ERROR_ARLO && (I2C_SR1_AF >> 8) == HAL_I2C_ERROR_AF);

/* Waits until SR1 shows one of `flags` or an error; returns SR1 then, or 0 after the time-out. */
uint32_t WaitSr1(const I2C_TypeDef *i2c, uint32_t flags, const CycleLimit &call) {
    const CycleLimit event(STUCK_BUS_MS);
    for (;;) {
        PollHook();
        const uint32_t sr1 = i2c->SR1;
        if ((sr1 & (flags | SR1_ERRORS)) != 0U) {
            return sr1;
        }
        if (call.Passed() || event.Expired()) {
            return 0U;
        }
    }
}

/* Ends a failed transfer: records the cause, clears the error flags, and releases the bus with a
 * STOP if this interface still is the master (after a lost arbitration it no longer is). */
HAL_StatusTypeDef Fail(I2C_HandleTypeDef *hi2c, I2C_TypeDef *i2c, uint32_t sr1) {
    HAL_StatusTypeDef st = HAL_ERROR;
    const uint32_t errors = sr1 & SR1_ERRORS;
    if (errors == 0U) {
        hi2c->ErrorCode = hi2c->ErrorCode | HAL_I2C_ERROR_TIMEOUT;
        st = HAL_TIMEOUT;
    } else {
        hi2c->ErrorCode = hi2c->ErrorCode | (errors >> 8);
        i2c->SR1 = i2c->SR1 & ~errors;
    }
    if ((i2c->SR2 & I2C_SR2_MSL) != 0U) {
        SetBits(i2c->CR1, I2C_CR1_STOP);
    }
    return st;
}

/* Waits for one event flag; any error or the time-out ends the transfer. */
HAL_StatusTypeDef Expect(I2C_HandleTypeDef *hi2c, I2C_TypeDef *i2c, uint32_t flag,
                         const CycleLimit &call) {
    const uint32_t sr1 = WaitSr1(i2c, flag, call);
    if ((sr1 & SR1_ERRORS) != 0U || (sr1 & flag) == 0U) {
        return Fail(hi2c, i2c, sr1);
    }
    return HAL_OK;
}

/* START condition; done when the interface holds the bus as master (SB). */
HAL_StatusTypeDef SendStart(I2C_HandleTypeDef *hi2c, I2C_TypeDef *i2c, const CycleLimit &call) {
    SetBits(i2c->CR1, I2C_CR1_START);
    return Expect(hi2c, i2c, I2C_SR1_SB, call);
}

/* Reading SR1 then SR2 ends the address phase and lets the transfer go on. */
void ClearAddr(const I2C_TypeDef *i2c) {
    (void)i2c->SR1;
    (void)i2c->SR2;
}

/* Inlined: a frame of its own would deepen the fault path's CLK1-off write. */
[[gnu::always_inline]] inline HAL_StatusTypeDef SendByte(I2C_HandleTypeDef *hi2c, I2C_TypeDef *i2c,
                                                         uint8_t byte, const CycleLimit &call) {
    HAL_StatusTypeDef st = Expect(hi2c, i2c, I2C_SR1_TXE, call);
    if (st == HAL_OK) {
        i2c->DR = byte;
    }
    return st;
}

/* Begins a transfer: the bus must come free, and the POS bit (two-byte reception) stays off. */
bool ClaimBus(I2C_HandleTypeDef *hi2c, I2C_TypeDef *i2c) {
    hi2c->ErrorCode = HAL_I2C_ERROR_NONE;
    if (!WaitBitsWithin(i2c->SR2, I2C_SR2_BUSY, 0U, CycleLimit(BUSY_TIMEOUT_MS))) {
        return false;
    }
    ClearBits(i2c->CR1, I2C_CR1_POS);
    return true;
}

} // namespace

HAL_StatusTypeDef HAL_I2C_Init(I2C_HandleTypeDef *hi2c) {
    if (hi2c == nullptr) {
        return HAL_ERROR;
    }
    HAL_I2C_MspInit(hi2c);
    I2C_TypeDef *i2c = Regs(hi2c->Instance);
    const I2C_InitTypeDef &init = hi2c->Init;
    const uint32_t freq_mhz = Pclk1Hz() / 1000000U;
    const bool fast = init.ClockSpeed > 100000U;
    if (init.ClockSpeed == 0U || init.ClockSpeed > 400000U || freq_mhz < (fast ? 4U : 2U) ||
        freq_mhz > 50U) {
        return HAL_ERROR;
    }
    const uint32_t ccr = I2cCcr(freq_mhz * 1000000U, init.ClockSpeed, init.DutyCycle);
    if (ccr == 0U) {
        return HAL_ERROR;
    }
    /* Software reset first: it also frees a BUSY flag left stuck by an interrupted transfer. */
    ClearBits(i2c->CR1, I2C_CR1_PE);
    SetBits(i2c->CR1, I2C_CR1_SWRST);
    ClearBits(i2c->CR1, I2C_CR1_SWRST);
    ModifyBits(i2c->CR2, I2C_CR2_FREQ_Msk, freq_mhz);
    i2c->TRISE = I2cTrise(freq_mhz, init.ClockSpeed);
    i2c->CCR = ccr;
    i2c->CR1 = init.GeneralCallMode | init.NoStretchMode;
    i2c->OAR1 = init.AddressingMode | init.OwnAddress1;
    i2c->OAR2 = init.DualAddressMode | init.OwnAddress2;
    SetBits(i2c->CR1, I2C_CR1_PE);
    hi2c->ErrorCode = HAL_I2C_ERROR_NONE;
    return HAL_OK;
}

/* START, address with write bit, register address (MSB first if 16-bit), data bytes, STOP; done
 * when the STOP has freed the bus. */
HAL_StatusTypeDef HAL_I2C_Mem_Write(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                    uint16_t mem_address, uint16_t mem_add_size, uint8_t *data,
                                    uint16_t size, uint32_t timeout) {
    if (hi2c == nullptr || data == nullptr || size == 0U) {
        return HAL_ERROR;
    }
    I2C_TypeDef *i2c = Regs(hi2c->Instance);
    const CycleLimit call(timeout);
    if (!ClaimBus(hi2c, i2c)) {
        return HAL_BUSY;
    }
    HAL_StatusTypeDef st = SendStart(hi2c, i2c, call);
    if (st != HAL_OK) {
        return st;
    }
    i2c->DR = static_cast<uint8_t>(dev_address & ~1U);
    st = Expect(hi2c, i2c, I2C_SR1_ADDR, call);
    if (st != HAL_OK) {
        return st;
    }
    ClearAddr(i2c);
    if (mem_add_size != I2C_MEMADD_SIZE_8BIT) {
        st = SendByte(hi2c, i2c, static_cast<uint8_t>(mem_address >> 8), call);
    }
    if (st == HAL_OK) {
        st = SendByte(hi2c, i2c, static_cast<uint8_t>(mem_address), call);
    }
    for (uint16_t k = 0; st == HAL_OK && k < size; ++k) {
        st = SendByte(hi2c, i2c, data[k], call);
    }
    /* BTF: the last byte has left the shift register and was acknowledged. */
    if (st == HAL_OK) {
        st = Expect(hi2c, i2c, I2C_SR1_BTF, call);
    }
    /* The write is over once the STOP is on the bus (BUSY clears): whatever comes next, a reset of
     * the peripheral included, cannot cut it. */
    if (st == HAL_OK) {
        SetBits(i2c->CR1, I2C_CR1_STOP);
        if (!WaitBitsWithin(i2c->SR2, I2C_SR2_BUSY, 0U, CycleLimit(BUSY_TIMEOUT_MS))) {
            st = HAL_BUSY;
        }
    }
    return st;
}

/* START, address with write bit, register address (MSB first if 16-bit); once it is through (BTF)
 * a repeated START, the address with read bit, and the one-byte reception of RM0383: ACK cleared
 * before ADDR is, STOP set right after (nothing may come between, or a second byte would be
 * clocked in), the byte read at RxNE; done when the STOP has freed the bus. */
HAL_StatusTypeDef HAL_I2C_Mem_Read(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                   uint16_t mem_address, uint16_t mem_add_size, uint8_t *data,
                                   uint16_t size, uint32_t timeout) {
    if (hi2c == nullptr || data == nullptr || size != 1U) {
        return HAL_ERROR;
    }
    I2C_TypeDef *i2c = Regs(hi2c->Instance);
    const CycleLimit call(timeout);
    if (!ClaimBus(hi2c, i2c)) {
        return HAL_BUSY;
    }
    HAL_StatusTypeDef st = SendStart(hi2c, i2c, call);
    if (st == HAL_OK) {
        i2c->DR = static_cast<uint8_t>(dev_address & ~1U);
        st = Expect(hi2c, i2c, I2C_SR1_ADDR, call);
    }
    if (st != HAL_OK) {
        return st;
    }
    ClearAddr(i2c);
    if (mem_add_size != I2C_MEMADD_SIZE_8BIT) {
        st = SendByte(hi2c, i2c, static_cast<uint8_t>(mem_address >> 8), call);
    }
    if (st == HAL_OK) {
        st = SendByte(hi2c, i2c, static_cast<uint8_t>(mem_address), call);
    }
    if (st == HAL_OK) {
        st = Expect(hi2c, i2c, I2C_SR1_BTF, call);
    }
    if (st == HAL_OK) {
        st = SendStart(hi2c, i2c, call);
    }
    if (st == HAL_OK) {
        i2c->DR = static_cast<uint8_t>(dev_address | 1U);
        st = Expect(hi2c, i2c, I2C_SR1_ADDR, call);
    }
    if (st != HAL_OK) {
        return st;
    }
    ClearBits(i2c->CR1, I2C_CR1_ACK);
    const unsigned was_masked = __get_PRIMASK();
    __disable_irq();
    ClearAddr(i2c);
    SetBits(i2c->CR1, I2C_CR1_STOP);
    __set_PRIMASK(was_masked);
    st = Expect(hi2c, i2c, I2C_SR1_RXNE, call);
    if (st != HAL_OK) {
        return st;
    }
    *data = static_cast<uint8_t>(i2c->DR);
    if (!WaitBitsWithin(i2c->SR2, I2C_SR2_BUSY, 0U, CycleLimit(BUSY_TIMEOUT_MS))) {
        return HAL_BUSY;
    }
    return HAL_OK;
}

/* Each trial: START, the address byte, STOP. HAL_OK as soon as the device acknowledges; HAL_ERROR
 * (not acknowledged) when no trial got an answer. */
HAL_StatusTypeDef HAL_I2C_IsDeviceReady(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                        uint32_t trials, uint32_t timeout) {
    if (hi2c == nullptr) {
        return HAL_ERROR;
    }
    I2C_TypeDef *i2c = Regs(hi2c->Instance);
    if (!ClaimBus(hi2c, i2c)) {
        return HAL_BUSY;
    }
    for (uint32_t trial = 0; trial < trials; ++trial) {
        const CycleLimit call(timeout);
        HAL_StatusTypeDef st = SendStart(hi2c, i2c, call);
        if (st != HAL_OK) {
            return st;
        }
        i2c->DR = static_cast<uint8_t>(dev_address & ~1U);
        const uint32_t sr1 = WaitSr1(i2c, I2C_SR1_ADDR, call);
        if ((sr1 & (I2C_SR1_BERR | I2C_SR1_ARLO)) != 0U || sr1 == 0U) {
            return Fail(hi2c, i2c, sr1);
        }
        const bool acknowledged = (sr1 & I2C_SR1_AF) == 0U;
        if (acknowledged) {
            ClearAddr(i2c);
        } else {
            i2c->SR1 = i2c->SR1 & ~I2C_SR1_AF;
        }
        SetBits(i2c->CR1, I2C_CR1_STOP);
        if (!WaitBitsWithin(i2c->SR2, I2C_SR2_BUSY, 0U, CycleLimit(BUSY_TIMEOUT_MS))) {
            return HAL_BUSY;
        }
        if (acknowledged) {
            return HAL_OK;
        }
    }
    hi2c->ErrorCode = HAL_I2C_ERROR_AF;
    return HAL_ERROR;
}

HAL_StatusTypeDef HAL_I2C_DeInit(I2C_HandleTypeDef *hi2c) {
    if (hi2c == nullptr) {
        return HAL_ERROR;
    }
    ClearBits(Regs(hi2c->Instance)->CR1, I2C_CR1_PE);
    HAL_I2C_MspDeInit(hi2c);
    return HAL_OK;
}

__attribute__((weak)) void HAL_I2C_MspInit(I2C_HandleTypeDef *hi2c) {
    (void)hi2c;
}
__attribute__((weak)) void HAL_I2C_MspDeInit(I2C_HandleTypeDef *hi2c) {
    (void)hi2c;
}
