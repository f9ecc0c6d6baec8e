/* Independent watchdog: started once, on the LSI, and refreshed by a key write. The prescaler and
 * reload registers are written only after the key that opens them, and take effect in the LSI's
 * clock domain a few LSI cycles later (PVU, RVU). A new value may be written only once the last one
 * has got there: a second start (the fault path's, maybe in the middle of the first) waits for
 * that, and gives up without touching the running watchdog when it does not come. The waits are
 * counted on the cycle counter, since the fault path runs where the tick stands still. */
#include "platform_internal.h"

using namespace platform;

namespace {

/* Five LSI cycles at the slowest LSI (17 kHz) are 0.3 ms; the chip maker allows 48 ms. */
constexpr uint32_t UPDATE_TIMEOUT_MS = 48U;

} // namespace

HAL_StatusTypeDef HAL_IWDG_Init(IWDG_HandleTypeDef *hiwdg) {
    if (hiwdg == nullptr || hiwdg->Init.Prescaler > IWDG_PRESCALER_256 ||
        hiwdg->Init.Reload > IWDG_RELOAD_MAX) {
        return HAL_ERROR;
    }
    IWDG_TypeDef *iwdg = Regs(hiwdg->Instance);
    iwdg->KR = IWDG_KEY_ENABLE; /* starts the LSI and the count, if not running yet */
    const CycleLimit limit(UPDATE_TIMEOUT_MS);
    if (!WaitBitsWithin(iwdg->SR, IWDG_SR_PVU | IWDG_SR_RVU, 0U, limit)) {
        return HAL_TIMEOUT;
    }
    iwdg->KR = IWDG_KEY_WRITE_ACCESS;
    iwdg->PR = hiwdg->Init.Prescaler;
    iwdg->RLR = hiwdg->Init.Reload;
    if (!WaitBitsWithin(iwdg->SR, IWDG_SR_PVU | IWDG_SR_RVU, 0U, limit)) {
        return HAL_TIMEOUT;
    }
    iwdg->KR = IWDG_KEY_RELOAD;
    return HAL_OK;
}

HAL_StatusTypeDef HAL_IWDG_Refresh(IWDG_HandleTypeDef *hiwdg) {
    Regs(hiwdg->Instance)->KR = IWDG_KEY_RELOAD;
    return HAL_OK;
}
