// The DWT's cycle counter (CYCCNT) of the emulated Cortex-M4: it counts the core clock's cycles of
// time, sleep and flash stalls included, while DEMCR TRCENA and DWT_CTRL CYCCNTENA are both set.
// The comparators, the other counters and the trace are not modelled.
#include "emu_internal.h"

namespace emu::detail {
namespace {

class Dwt : public Peripheral {
  public:
    Dwt() : Peripheral("DWT", 0xE0001000, 0x1000, {0, 0}) {}
    void mcu_reset() override {
        ctrl = 0x40000000;
        offset = 0;
    }
    uint32_t read(uint32_t off, unsigned) override {
        if (off == 0x000) {
            return ctrl;
        }
        if (off == 0x004) {
            return Counting() ? Cycles() - offset : offset;
        }
        finding("read of DWT register " + hex(base() + off) + ": not modelled");
        return 0;
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        if (off == 0x000) {
            const uint32_t now_count = read(4, 4);
            ctrl = (ctrl & ~1U) | (v & 1U);
            offset = Counting() ? Cycles() - now_count : now_count;
        } else if (off == 0x004) {
            offset = Counting() ? Cycles() - v : v;
        } else {
            finding("write of DWT register " + hex(base() + off) + ": not modelled");
        }
    }

  private:
    bool Counting() const { return trace_enabled() && (ctrl & 1U); }
    // The core clock's cycles of time, as the counter counts them (sleep and stalls included).
    static uint32_t Cycles() {
        return static_cast<uint32_t>(static_cast<unsigned __int128>(now()) * hclk_hz() /
                                     1000000000U);
    }

    // CYCCNT = (cycles of time) - offset while counting, offset while stopped.
    uint32_t ctrl = 0x40000000, offset = 0;
};
Dwt g_dwt;

} // namespace
} // namespace emu::detail
