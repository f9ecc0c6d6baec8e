// The real-time clock of the virtual MCU (the board's counterpart is hal_rtc.cpp): its set-up is
// recorded; the beacon keeps its UTC in software and never reads it back.
#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

class Rtc : public Peripheral {
  public:
    Rtc() : Peripheral("rtc") {}
    void mcu_reset() override { record = RtcRecord{}; }
    RtcRecord record{};
};

Rtc g_rtc;

Hook<void (*)(RTC_HandleTypeDef *)> g_msp_init("HAL_RTC_MspInit");

} // namespace
} // namespace vmcu::detail

namespace vmcu {

const RtcRecord &rtc_record() {
    return detail::g_rtc.record;
}

} // namespace vmcu

using vmcu::detail::g_rtc;
using vmcu::detail::init_call;

extern "C" {

HAL_StatusTypeDef HAL_RTC_Init(RTC_HandleTypeDef *hrtc) {
    HAL_StatusTypeDef st = init_call("HAL_RTC_Init");
    if (st == HAL_OK) {
        g_rtc.record.initialised = true;
        g_rtc.record.init = hrtc->Init;
        if (auto msp = vmcu::detail::g_msp_init.get()) {
            msp(hrtc);
        }
    }
    return st;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RTC_SetTime(RTC_HandleTypeDef *, RTC_TimeTypeDef *time, uint32_t format) {
    HAL_StatusTypeDef st = init_call("HAL_RTC_SetTime");
    if (st == HAL_OK) {
        g_rtc.record.time_set = true;
        g_rtc.record.time = *time;
        g_rtc.record.time_format = format;
    }
    return st;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RTC_SetDate(RTC_HandleTypeDef *, RTC_DateTypeDef *date, uint32_t format) {
    HAL_StatusTypeDef st = init_call("HAL_RTC_SetDate");
    if (st == HAL_OK) {
        g_rtc.record.date_set = true;
        g_rtc.record.date = *date;
        g_rtc.record.date_format = format;
    }
    return st;
}

} // extern "C"
