// The unique device ID of the emulated STM32F411 (RM0383 section 24.2): three read-only words at
// 0x1FFF7A10 in system memory, the same for the chip's whole life; the world sets them before a
// run. Only whole-word reads are meaningful on the chip; a write is a finding.
#include "emu_internal.h"

namespace emu::detail {
namespace {

class UniqueId : public Peripheral {
  public:
    UniqueId() : Peripheral("UID", 0x1FFF7A10, 12, {0, 0}) {}
    void mcu_reset() override {}
    void world_reset() override { uid = mcu::DEFAULT_UID; }
    uint32_t read(uint32_t off, unsigned size) override {
        const uint32_t word = uid.w[off / 4U];
        const uint32_t shift = 8U * (off % 4U);
        return size >= 4 ? word : (word >> shift) & ((1U << (8U * size)) - 1U);
    }
    void write(uint32_t off, unsigned, uint32_t) override {
        finding("write of the unique ID at " + hex(base() + off));
    }

    mcu::Uid uid = mcu::DEFAULT_UID;
};

UniqueId g_uid;

} // namespace
} // namespace emu::detail

namespace emu {

void set_uid(const mcu::Uid &uid) {
    detail::g_uid.uid = uid;
}

} // namespace emu
