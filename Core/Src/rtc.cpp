/* The RTC, clocked by the LSI: set up at start-up and left running, as the board's usual start-up
 * does. The beacon does not read it: UTC is kept by the 1 ms tick, set from GNSS or the console. */
#include "rtc.h"

RTC_HandleTypeDef hrtc;

void MX_RTC_Init(void) {
    RTC_TimeTypeDef time = {};
    RTC_DateTypeDef date = {};

    hrtc.Instance = RTC;
    hrtc.Init.HourFormat = RTC_HOURFORMAT_24;
    hrtc.Init.AsynchPrediv = 127;
    hrtc.Init.SynchPrediv = 255;
    hrtc.Init.OutPut = RTC_OUTPUT_DISABLE;
    hrtc.Init.OutPutPolarity = RTC_OUTPUT_POLARITY_HIGH;
    hrtc.Init.OutPutType = RTC_OUTPUT_TYPE_OPENDRAIN;
    if (HAL_RTC_Init(&hrtc) != HAL_OK) {
        Error_Handler();
    }

    time.Hours = 0x0;
    time.Minutes = 0x0;
    time.Seconds = 0x0;
    time.DayLightSaving = RTC_DAYLIGHTSAVING_NONE;
    time.StoreOperation = RTC_STOREOPERATION_RESET;
    if (HAL_RTC_SetTime(&hrtc, &time, RTC_FORMAT_BCD) != HAL_OK) {
        Error_Handler();
    }

    date.WeekDay = RTC_WEEKDAY_MONDAY;
    date.Month = RTC_MONTH_JANUARY;
    date.Date = 0x1;
    date.Year = 0x0;
    if (HAL_RTC_SetDate(&hrtc, &date, RTC_FORMAT_BCD) != HAL_OK) {
        Error_Handler();
    }
}

void HAL_RTC_MspInit(RTC_HandleTypeDef *hrtc) {
    if (hrtc->Instance == RTC) {
        RCC_PeriphCLKInitTypeDef clk = {};
        clk.PeriphClockSelection = RCC_PERIPHCLK_RTC;
        clk.RTCClockSelection = RCC_RTCCLKSOURCE_LSI;
        if (HAL_RCCEx_PeriphCLKConfig(&clk) != HAL_OK) {
            Error_Handler();
        }
        __HAL_RCC_RTC_ENABLE();
    }
}
