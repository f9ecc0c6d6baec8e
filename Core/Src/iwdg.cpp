#include "iwdg.h"

IWDG_HandleTypeDef hiwdg;

namespace {

/* The LSI divided by 64: one count every 2 ms at the nominal 32 kHz. */
constexpr uint32_t PRESCALER = IWDG_PRESCALER_64;
constexpr uint32_t LSI_PERIODS_PER_COUNT = 4U << PRESCALER;
constexpr uint32_t RELOAD = WATCHDOG_TIMEOUT_MS * (LSI_VALUE / 1000U) / LSI_PERIODS_PER_COUNT - 1U;
static_assert(RELOAD == 999U && RELOAD <= IWDG_RELOAD_MAX);

} // namespace

void MX_IWDG_Init(void) {
    hiwdg.Instance = IWDG;
    hiwdg.Init.Prescaler = PRESCALER;
    hiwdg.Init.Reload = RELOAD;
    if (HAL_IWDG_Init(&hiwdg) != HAL_OK) {
        Error_Handler();
    }
}
