/* Real-time clock: prescalers, hour format, output, calendar set-up. */
#include "platform_internal.h"

using namespace platform;

namespace {

constexpr uint32_t RTC_TIMEOUT_MS = 1000U;
constexpr uint32_t RTC_TR_MASK = 0x007F7F7FU;
constexpr uint32_t RTC_DR_MASK = 0x00FFFF3FU;

uint32_t Bcd(uint32_t value) {
    return ((value / 10U) << 4) | (value % 10U);
}

/* Two-digit field as stored: converted from binary unless given in BCD already. */
uint32_t Field(uint8_t value, uint32_t format) {
    return format == RTC_FORMAT_BIN ? Bcd(value) : value;
}

void Unlock(RTC_TypeDef *rtc) {
    rtc->WPR = RTC_WPR_KEY1;
    rtc->WPR = RTC_WPR_KEY2;
}

bool EnterInit(RTC_TypeDef *rtc) {
    if ((rtc->ISR & RTC_ISR_INITF) != 0U) {
        return true;
    }
    SetBits(rtc->ISR, RTC_ISR_INIT);
    return WaitBits(rtc->ISR, RTC_ISR_INITF, RTC_ISR_INITF, HAL_GetTick(), RTC_TIMEOUT_MS);
}

/* Leaves initialisation mode and waits until the shadow registers hold the new values. */
HAL_StatusTypeDef ExitInitAndLock(RTC_TypeDef *rtc) {
    ClearBits(rtc->ISR, RTC_ISR_INIT);
    ClearBits(rtc->ISR, RTC_ISR_RSF);
    const bool synced = WaitBits(rtc->ISR, RTC_ISR_RSF, RTC_ISR_RSF, HAL_GetTick(), RTC_TIMEOUT_MS);
    rtc->WPR = RTC_WPR_LOCK;
    return synced ? HAL_OK : HAL_TIMEOUT;
}

/* Writes one calendar register (TR or DR) in initialisation mode. */
HAL_StatusTypeDef WriteCalendar(RTC_HandleTypeDef *hrtc, volatile uint32_t RTC_TypeDef::*reg,
                                uint32_t value) {
    RTC_TypeDef *rtc = Regs(hrtc->Instance);
    Unlock(rtc);
    if (!EnterInit(rtc)) {
        rtc->WPR = RTC_WPR_LOCK;
        return HAL_TIMEOUT;
    }
    rtc->*reg = value;
    return ExitInitAndLock(rtc);
}

} // namespace

HAL_StatusTypeDef HAL_RTC_Init(RTC_HandleTypeDef *hrtc) {
    if (hrtc == nullptr) {
        return HAL_ERROR;
    }
    HAL_RTC_MspInit(hrtc);
    RTC_TypeDef *rtc = Regs(hrtc->Instance);
    const RTC_InitTypeDef &init = hrtc->Init;
    Unlock(rtc);
    if (!EnterInit(rtc)) {
        rtc->WPR = RTC_WPR_LOCK;
        return HAL_TIMEOUT;
    }
    ModifyBits(rtc->CR, RTC_CR_FMT | RTC_CR_OSEL_Msk | RTC_CR_POL,
               init.HourFormat | init.OutPut | init.OutPutPolarity);
    /* The two prescalers take two separate writes, synchronous first. */
    rtc->PRER = init.SynchPrediv & 0x7FFFU;
    SetBits(rtc->PRER, (init.AsynchPrediv & 0x7FU) << 16);
    ModifyBits(rtc->TAFCR, RTC_TAFCR_ALARMOUTTYPE, init.OutPutType & RTC_TAFCR_ALARMOUTTYPE);
    return ExitInitAndLock(rtc);
}

HAL_StatusTypeDef HAL_RTC_SetTime(RTC_HandleTypeDef *hrtc, RTC_TimeTypeDef *time, uint32_t format) {
    if (hrtc == nullptr || time == nullptr) {
        return HAL_ERROR;
    }
    const uint32_t tr = (Field(time->Hours, format) << 16) | (Field(time->Minutes, format) << 8) |
                        Field(time->Seconds, format) | (uint32_t{time->TimeFormat} << 16);
    HAL_StatusTypeDef st = WriteCalendar(hrtc, &RTC_TypeDef::TR, tr & RTC_TR_MASK);
    if (st == HAL_OK) {
        RTC_TypeDef *rtc = Regs(hrtc->Instance);
        Unlock(rtc);
        ModifyBits(rtc->CR, RTC_CR_BKP | RTC_CR_SUB1H_ADD1H_Msk,
                   time->DayLightSaving | time->StoreOperation);
        rtc->WPR = RTC_WPR_LOCK;
    }
    return st;
}

HAL_StatusTypeDef HAL_RTC_SetDate(RTC_HandleTypeDef *hrtc, RTC_DateTypeDef *date, uint32_t format) {
    if (hrtc == nullptr || date == nullptr) {
        return HAL_ERROR;
    }
    const uint32_t dr = (Field(date->Year, format) << 16) | (uint32_t{date->WeekDay} << 13) |
                        (Field(date->Month, format) << 8) | Field(date->Date, format);
    return WriteCalendar(hrtc, &RTC_TypeDef::DR, dr & RTC_DR_MASK);
}

__attribute__((weak)) void HAL_RTC_MspInit(RTC_HandleTypeDef *hrtc) {
    (void)hrtc;
}
