// The unique device ID of the virtual MCU (the board reads it from system memory, hal_core.cpp):
// three words, fixed for the chip, set by the world before a run.
#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

class Uid : public Peripheral {
  public:
    Uid() : Peripheral("uid") {}
    void mcu_reset() override {}
    void world_reset() override { uid = mcu::DEFAULT_UID; }

    mcu::Uid uid = mcu::DEFAULT_UID;
};

Uid g_uid;

} // namespace
} // namespace vmcu::detail

namespace vmcu {

void set_uid(const mcu::Uid &uid) {
    detail::g_uid.uid = uid;
}

} // namespace vmcu

extern "C" {

uint32_t HAL_GetUIDw0(void) {
    return vmcu::detail::g_uid.uid.w[0];
}
uint32_t HAL_GetUIDw1(void) {
    return vmcu::detail::g_uid.uid.w[1];
}
uint32_t HAL_GetUIDw2(void) {
    return vmcu::detail::g_uid.uid.w[2];
}

} // extern "C"
