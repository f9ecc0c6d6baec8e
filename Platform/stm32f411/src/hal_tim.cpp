/* Basic timers: time base, internal clock, master mode, update interrupt. */
#include "platform_internal.h"

using namespace platform;

namespace {

/* Slave-mode and external-trigger fields of SMCR (all but MSM and OCCS): cleared, the counter
 * runs on the internal clock. */
constexpr uint32_t SMCR_CLOCK_FIELDS = 0xFF77U;

} // namespace

HAL_StatusTypeDef HAL_TIM_Base_Init(TIM_HandleTypeDef *htim) {
    if (htim == nullptr) {
        return HAL_ERROR;
    }
    HAL_TIM_Base_MspInit(htim);
    TIM_TypeDef *tim = Regs(htim->Instance);
    const TIM_Base_InitTypeDef &init = htim->Init;
    ModifyBits(tim->CR1, TIM_CR1_DIR | TIM_CR1_CMS_Msk | TIM_CR1_CKD_Msk | TIM_CR1_ARPE,
               init.CounterMode | init.ClockDivision | init.AutoReloadPreload);
    tim->ARR = init.Period;
    tim->PSC = init.Prescaler;
    if (htim->Instance == TIM1) {
        tim->RCR = init.RepetitionCounter;
    }
    /* Load prescaler and period now; the update flag this raises is not a period. */
    tim->EGR = TIM_EGR_UG;
    ClearBits(tim->SR, TIM_SR_UIF);
    return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_ConfigClockSource(TIM_HandleTypeDef *htim,
                                            TIM_ClockConfigTypeDef *config) {
    if (htim == nullptr || config == nullptr || config->ClockSource != TIM_CLOCKSOURCE_INTERNAL) {
        return HAL_ERROR;
    }
    ClearBits(Regs(htim->Instance)->SMCR, SMCR_CLOCK_FIELDS);
    return HAL_OK;
}

HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef *htim,
                                                        TIM_MasterConfigTypeDef *config) {
    if (htim == nullptr || config == nullptr) {
        return HAL_ERROR;
    }
    TIM_TypeDef *tim = Regs(htim->Instance);
    ModifyBits(tim->CR2, TIM_CR2_MMS_Msk, config->MasterOutputTrigger & TIM_CR2_MMS_Msk);
    ModifyBits(tim->SMCR, TIM_SMCR_MSM, config->MasterSlaveMode & TIM_SMCR_MSM);
    return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_Base_Start_IT(TIM_HandleTypeDef *htim) {
    if (htim == nullptr) {
        return HAL_ERROR;
    }
    TIM_TypeDef *tim = Regs(htim->Instance);
    SetBits(tim->DIER, TIM_DIER_UIE);
    SetBits(tim->CR1, TIM_CR1_CEN);
    return HAL_OK;
}

void HAL_TIM_IRQHandler(TIM_HandleTypeDef *htim) {
    TIM_TypeDef *tim = Regs(htim->Instance);
    if ((tim->SR & TIM_SR_UIF) != 0U && (tim->DIER & TIM_DIER_UIE) != 0U) {
        ClearBits(tim->SR, TIM_SR_UIF);
        HAL_TIM_PeriodElapsedCallback(htim);
    }
}

__attribute__((weak)) void HAL_TIM_Base_MspInit(TIM_HandleTypeDef *htim) {
    (void)htim;
}
__attribute__((weak)) void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef *htim) {
    (void)htim;
}
