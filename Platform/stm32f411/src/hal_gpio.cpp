/* GPIO: pin configuration and pin levels. */
#include "platform_internal.h"

using namespace platform;

namespace {

/* Two-bit pin modes of MODER, as in the low bits of GPIO_InitTypeDef.Mode. */
constexpr uint32_t MODER_OUTPUT = 1U;
constexpr uint32_t MODER_ALTERNATE = 2U;
constexpr uint32_t MODER_ANALOG = 3U;

} // namespace

void HAL_GPIO_Init(GPIO_TypeDef *port, GPIO_InitTypeDef *init) {
    GPIO_TypeDef *gpio = Regs(port);
    const uint32_t mode = init->Mode & GPIO_MODE_MODER_Msk;
    for (uint32_t pin = 0; pin < 16U; ++pin) {
        if ((init->Pin & (1UL << pin)) == 0U) {
            continue;
        }
        const uint32_t two = pin * 2U;
        const uint32_t field2 = 3UL << two;
        if (mode == MODER_OUTPUT || mode == MODER_ALTERNATE) {
            ModifyBits(gpio->OSPEEDR, field2, (init->Speed & 3U) << two);
            ModifyBits(gpio->OTYPER, 1UL << pin,
                       (init->Mode & GPIO_MODE_OPEN_DRAIN) != 0U ? 1UL << pin : 0U);
        }
        if (mode != MODER_ANALOG) {
            ModifyBits(gpio->PUPDR, field2, (init->Pull & 3U) << two);
        }
        /* The alternate function is chosen before the pin switches to it. */
        if (mode == MODER_ALTERNATE) {
            const uint32_t four = (pin & 7U) * 4U;
            ModifyBits(gpio->AFR[pin >> 3], 0xFUL << four, (init->Alternate & 0xFU) << four);
        }
        ModifyBits(gpio->MODER, field2, mode << two);
    }
}

GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef *port, uint16_t pin) {
    return (Regs(port)->IDR & pin) != 0U ? GPIO_PIN_SET : GPIO_PIN_RESET;
}

void HAL_GPIO_WritePin(GPIO_TypeDef *port, uint16_t pin, GPIO_PinState state) {
    Regs(port)->BSRR = state != GPIO_PIN_RESET ? uint32_t{pin} : uint32_t{pin} << 16;
}

/* One write of the set/reset register: pins that are high go low, the others go high. */
void HAL_GPIO_TogglePin(GPIO_TypeDef *port, uint16_t pin) {
    GPIO_TypeDef *gpio = Regs(port);
    const uint32_t odr = gpio->ODR;
    gpio->BSRR = ((odr & pin) << 16) | (~odr & pin);
}
