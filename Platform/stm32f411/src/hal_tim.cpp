/* Timers: time base, internal clock or external clock mode 2 (ETR), master mode, update
 * interrupt, input capture on channel 2. */
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
    if (htim == nullptr || config == nullptr) {
        return HAL_ERROR;
    }
    TIM_TypeDef *tim = Regs(htim->Instance);
    if (config->ClockSource == TIM_CLOCKSOURCE_INTERNAL) {
        ClearBits(tim->SMCR, SMCR_CLOCK_FIELDS);
        return HAL_OK;
    }
    if (config->ClockSource != TIM_CLOCKSOURCE_ETRMODE2) {
        return HAL_ERROR;
    }
    /* External clock mode 2: ECE with the ETR's polarity, prescaler and filter; no slave mode. */
    ModifyBits(tim->SMCR, SMCR_CLOCK_FIELDS,
               TIM_SMCR_ECE | (config->ClockPolarity & TIM_SMCR_ETP) |
                   (config->ClockPrescaler & TIM_SMCR_ETPS_Msk) |
                   ((config->ClockFilter << 8) & TIM_SMCR_ETF_Msk));
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

HAL_StatusTypeDef HAL_TIM_IC_ConfigChannel(TIM_HandleTypeDef *htim, TIM_IC_InitTypeDef *config,
                                           uint32_t channel) {
    if (htim == nullptr || config == nullptr || channel != TIM_CHANNEL_2) {
        return HAL_ERROR;
    }
    TIM_TypeDef *tim = Regs(htim->Instance);
    /* The channel off while its input is chosen (CC2S is writable only then). */
    ClearBits(tim->CCER, TIM_CCER_CC2E | TIM_CCER_CC2P | TIM_CCER_CC2NP);
    ModifyBits(tim->CCMR[0], TIM_CCMR1_CC2S_Msk | TIM_CCMR1_IC2PSC_Msk | TIM_CCMR1_IC2F_Msk,
               ((config->ICSelection << 8) & TIM_CCMR1_CC2S_Msk) |
                   ((config->ICPrescaler << 8) & TIM_CCMR1_IC2PSC_Msk) |
                   ((config->ICFilter << 12) & TIM_CCMR1_IC2F_Msk));
    SetBits(tim->CCER, (config->ICPolarity << 4) & (TIM_CCER_CC2P | TIM_CCER_CC2NP));
    return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_IC_Start_IT(TIM_HandleTypeDef *htim, uint32_t channel) {
    if (htim == nullptr || channel != TIM_CHANNEL_2) {
        return HAL_ERROR;
    }
    TIM_TypeDef *tim = Regs(htim->Instance);
    ClearBits(tim->SR, TIM_SR_CC2IF | TIM_SR_CC2OF);
    SetBits(tim->DIER, TIM_DIER_CC2IE);
    SetBits(tim->CCER, TIM_CCER_CC2E);
    SetBits(tim->CR1, TIM_CR1_CEN);
    return HAL_OK;
}

uint32_t HAL_TIM_ReadCapturedValue(TIM_HandleTypeDef *htim, uint32_t channel) {
    return channel == TIM_CHANNEL_2 ? Regs(htim->Instance)->CCR[1] : 0U;
}

void HAL_TIM_IRQHandler(TIM_HandleTypeDef *htim) {
    TIM_TypeDef *tim = Regs(htim->Instance);
    if ((tim->SR & TIM_SR_CC2IF) != 0U && (tim->DIER & TIM_DIER_CC2IE) != 0U) {
        /* Reading CCR2 clears the flag; the callback reads it. */
        ClearBits(tim->SR, TIM_SR_CC2IF | TIM_SR_CC2OF);
        htim->Channel = HAL_TIM_ACTIVE_CHANNEL_2;
        HAL_TIM_IC_CaptureCallback(htim);
        htim->Channel = 0;
    }
    if ((tim->SR & TIM_SR_UIF) != 0U && (tim->DIER & TIM_DIER_UIE) != 0U) {
        ClearBits(tim->SR, TIM_SR_UIF);
        HAL_TIM_PeriodElapsedCallback(htim);
    }
}

__attribute__((weak)) void HAL_TIM_Base_MspInit(TIM_HandleTypeDef *htim) {
    (void)htim;
}
__attribute__((weak)) void HAL_TIM_IC_CaptureCallback(TIM_HandleTypeDef *htim) {
    (void)htim;
}
__attribute__((weak)) void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef *htim) {
    (void)htim;
}
