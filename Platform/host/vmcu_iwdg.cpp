// The independent watchdog of the virtual MCU (the board's counterpart is hal_iwdg.cpp): once
// started it counts down on the LSI from its reload value; a refresh starts the count again and
// reaching zero resets the MCU. A reset stops it (it was started by software), as on the chip.
// A start takes the time its new prescaler and reload need to reach the LSI's domain, and one
// that comes while the last start's update is still on its way waits for it first, as the
// board's does.
#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

class Iwdg : public Peripheral {
  public:
    Iwdg() : Peripheral("iwdg") {}
    void mcu_reset() override {
        record = IwdgRecord{};
        update_until = 0;
        set_next_event(UINT64_MAX);
    }
    void on_event(uint64_t /*t_ns*/) override {
        set_next_event(UINT64_MAX);
        reset_mcu(ResetCause::WATCHDOG);
    }
    void Refresh() {
        ++record.refreshes;
        set_next_event(now() + record.timeout_ns);
    }

    IwdgRecord record{};
    uint64_t update_until = 0; // the last start's prescaler and reload on their way
};

Iwdg g_iwdg;

void CheckInstance(const IWDG_HandleTypeDef *hiwdg) {
    if (hiwdg == nullptr || reinterpret_cast<uintptr_t>(hiwdg->Instance) != IWDG_BASE) {
        fail_instance("watchdog", hiwdg == nullptr ? nullptr : hiwdg->Instance);
    }
}

} // namespace
} // namespace vmcu::detail

namespace vmcu {

IwdgRecord iwdg_record() {
    return detail::g_iwdg.record;
}

} // namespace vmcu

using vmcu::detail::g_iwdg;

extern "C" {

// The time-out is 4 x 2^prescaler x (reload + 1) LSI periods.
HAL_StatusTypeDef HAL_IWDG_Init(IWDG_HandleTypeDef *hiwdg) {
    vmcu::detail::CheckInstance(hiwdg);
    const HAL_StatusTypeDef st = vmcu::detail::init_call("HAL_IWDG_Init");
    if (st != HAL_OK) {
        return st;
    }
    if (hiwdg->Init.Prescaler > IWDG_PRESCALER_256 || hiwdg->Init.Reload > IWDG_RELOAD_MAX) {
        return HAL_ERROR;
    }
    vmcu::advance_to(g_iwdg.update_until);
    vmcu::IwdgRecord &r = g_iwdg.record;
    r.running = true;
    r.prescaler = hiwdg->Init.Prescaler;
    r.reload = hiwdg->Init.Reload;
    const uint64_t lsi_periods = (4ULL << r.prescaler) * (r.reload + 1ULL);
    r.timeout_ns = lsi_periods * 1000000000ULL / mcu::LSI_HZ;
    g_iwdg.update_until = vmcu::now_ns() + mcu::IWDG_UPDATE_NS;
    vmcu::advance_to(g_iwdg.update_until);
    g_iwdg.Refresh();
    return HAL_OK;
}

HAL_StatusTypeDef HAL_IWDG_Refresh(IWDG_HandleTypeDef *hiwdg) {
    vmcu::detail::CheckInstance(hiwdg);
    if (g_iwdg.record.running) {
        g_iwdg.Refresh();
    }
    return HAL_OK;
}

} // extern "C"
