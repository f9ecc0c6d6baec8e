#ifndef SI5351_H
#define SI5351_H

#include <stdint.h>

#include <array>

#include "app_config.h"
#include "stm32f4xx_hal.h"

typedef struct {
    uint32_t p1;
    uint32_t p2;
    uint32_t p3;
} Si5351Params;

HAL_StatusTypeDef Si5351_Init(I2C_HandleTypeDef *hi2c);
HAL_StatusTypeDef Si5351_SetFreqClk1Uhz(uint64_t freq_uhz);
HAL_StatusTypeDef Si5351_OutputEnableClk1(bool enable);

/* Divider arithmetic of the driver. Only the driver itself needs it; it is visible here so that it
 * can be checked at compile time and by tests. Pure integer arithmetic, no hardware access. */

constexpr uint32_t Si5351_Gcd(uint32_t a, uint32_t b) {
    while (b != 0) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

/* Encoded form of integer + numerator/denominator. The arithmetic on p1, p2 and p3 is 32-bit and
 * wraps; only the low bits that the chip's fields hold are ever sent. */
constexpr Si5351Params Si5351_CalcParams(uint32_t integer, uint32_t numerator,
                                         uint32_t denominator) {
    if (denominator == 0) {
        denominator = 1;
    }
    if (numerator != 0) {
        uint32_t gcd = Si5351_Gcd(numerator, denominator);
        numerator /= gcd;
        denominator /= gcd;
    } else {
        denominator = 1;
    }
    uint64_t scaled = (static_cast<uint64_t>(numerator) * 128U) / denominator;
    uint32_t scaled32 = static_cast<uint32_t>(scaled);
    Si5351Params params{};
    params.p1 = integer * 128U + scaled32 - 512U;
    params.p2 = numerator * 128U - denominator * scaled32;
    params.p3 = denominator;
    return params;
}

/* PLL A feedback divider that multiplies the crystal up to pll_hz. */
constexpr Si5351Params Si5351_CalcPllParams(uint32_t pll_hz) {
    constexpr uint32_t xtal_hz = static_cast<uint32_t>(SI5351_XTAL_HZ);
    return Si5351_CalcParams(pll_hz / xtal_hz, pll_hz % xtal_hz, xtal_hz);
}

/* Multisynth divider that takes pll_hz down to freq_uhz. The fraction remainder/freq_uhz is scaled
 * down by tens, numerator and denominator together and rounded half up, until the denominator
 * fits in 1000000. A frequency of 0 is read as 1 so that the division is always defined. */
constexpr Si5351Params Si5351_CalcMsParamsUhz(uint32_t pll_hz, uint64_t freq_uhz) {
    if (freq_uhz == 0) {
        freq_uhz = 1;
    }
    uint64_t pll_uhz = static_cast<uint64_t>(pll_hz) * 1000000ULL;
    uint32_t integer = static_cast<uint32_t>(pll_uhz / freq_uhz);
    uint64_t remainder = pll_uhz - static_cast<uint64_t>(integer) * freq_uhz;
    uint64_t numerator = remainder;
    uint64_t denominator = freq_uhz;
    while (denominator > 1000000ULL) {
        numerator = (numerator + 5U) / 10U;
        denominator = (denominator + 5U) / 10U;
    }
    return Si5351_CalcParams(integer, static_cast<uint32_t>(numerator),
                             static_cast<uint32_t>(denominator));
}

/* The 8 bytes that hold a PLL or multisynth's parameters, in register order from the block's base
 * register. For a multisynth the zero bits 6..2 of byte 2 mean output divider 1, divide-by-4 off.
 */
constexpr std::array<uint8_t, 8> Si5351_ParamsImage(const Si5351Params &params) {
    return {
        static_cast<uint8_t>(params.p3 >> 8),
        static_cast<uint8_t>(params.p3),
        static_cast<uint8_t>((params.p1 >> 16) & 0x03U),
        static_cast<uint8_t>(params.p1 >> 8),
        static_cast<uint8_t>(params.p1),
        static_cast<uint8_t>(((params.p3 >> 12) & 0xF0U) | ((params.p2 >> 16) & 0x0FU)),
        static_cast<uint8_t>(params.p2 >> 8),
        static_cast<uint8_t>(params.p2),
    };
}

#endif
