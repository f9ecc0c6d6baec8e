// The emulated chip's CPU and register models, each checked with a small program of its own
// (Tests/image/probes, built with the board image; WSPR_PROBES names their directory).
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "emu.h"

namespace {

struct Probe {
    uint32_t done = 0;
    std::vector<uint32_t> log;
    std::vector<std::string> findings;
};

Probe RunProbe(const std::string &name, const std::function<void()> &wire = {}) {
    const char *dir = std::getenv("WSPR_PROBES");
    EXPECT_NE(dir, nullptr) << "set WSPR_PROBES to the probes' directory (make image-test does)";
    Probe p;
    if (dir == nullptr) {
        return p;
    }
    std::string error;
    EXPECT_TRUE(emu::load(std::string(dir) + "/probe_" + name + ".elf", error)) << error;
    emu::reset();
    if (wire) {
        wire();
    }
    emu::run(300 * emu::NS_PER_MS);
    emu::read_memory(emu::symbol("probe_done"), &p.done, sizeof p.done);
    uint32_t count = 0;
    emu::read_memory(emu::symbol("probe_count"), &count, sizeof count);
    p.log.resize(std::min<uint32_t>(count, 32));
    if (!p.log.empty()) {
        emu::read_memory(emu::symbol("probe_log"), p.log.data(), p.log.size() * 4);
    }
    p.findings = emu::findings();
    return p;
}

bool Found(const Probe &p, const std::string &text) {
    for (const std::string &f : p.findings) {
        if (f.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The higher priority preempts inside the lower one's handler; two pending at once run highest
// first and the next straight after (tail-chained), only once PRIMASK is cleared.
TEST(EmuProbe, PriorityPreemptionAndTailChaining) {
    const Probe p = RunProbe("exceptions");
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_EQ(p.log, (std::vector<uint32_t>{0x10, 0x20, 0x11, 0x30, 0x20, 0x10, 0x11, 0x40}));
    EXPECT_TRUE(p.findings.empty());
    EXPECT_EQ(emu::exceptions_taken(), 4u);
}

// A floating-point instruction before CPACR gives the FPU access fails the run there.
TEST(EmuProbe, FloatingPointBeforeTheFpuIsEnabled) {
    const Probe p = RunProbe("fpu");
    EXPECT_TRUE(Found(p, "floating-point instruction")) << ::testing::PrintToString(p.findings);
    EXPECT_NE(p.done, 0xD0EU);
}

// A peripheral whose clock is off ignores writes and reads 0, and it is reported.
TEST(EmuProbe, PeripheralWithItsClockOff) {
    const Probe p = RunProbe("gate");
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_EQ(p.log, (std::vector<uint32_t>{0, 1U << 26}));
    EXPECT_TRUE(Found(p, "GPIOC written while its clock is off"));
}

// Switching to 100 MHz with zero flash wait states is reported (three are needed).
TEST(EmuProbe, TooFewFlashWaitStatesForTheClock) {
    const Probe p = RunProbe("clock");
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_EQ(p.log, (std::vector<uint32_t>{0x8}));
    EXPECT_TRUE(Found(p, "flash wait states 0 too few for HCLK 100000000 Hz"))
        << ::testing::PrintToString(p.findings);
    EXPECT_EQ(emu::hclk_hz(), 100000000u);
}

// The address byte must follow an SR1 read that saw SB.
TEST(EmuProbe, I2cAddressBeforeStartWasSeen) {
    const Probe p = RunProbe("i2c");
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_TRUE(Found(p, "I2C1 DR written before SB was read from SR1"))
        << ::testing::PrintToString(p.findings);
}

// What a device on USART2 hears, and the line it sends on.
class Listener : public dev::UartDevice {
  public:
    void uart_from_mcu(uint8_t byte, uint64_t) override {
        heard.push_back(static_cast<char>(byte));
    }
    std::string heard;
};

// Two bytes back to back with nobody reading: the second overruns and is lost; SR then DR clears
// ORE. A byte at 115200 baud into a 9600-baud receiver is a framing error. A byte written to DR
// leaves TXE set (it moved to the shift register) and TC clear until its frame is out.
TEST(EmuProbe, UsartOverrunFramingAndTransmit) {
    Listener device;
    const Probe p = RunProbe("usart", [&device] {
        emu::uart_attach(2, &device);
        const uint8_t ab[] = {'A', 'B'};
        emu::uart_line(2).send(ab, 2, 0, 9600);
        const uint8_t c = 'C';
        emu::uart_line(2).send(&c, 1, 5 * emu::NS_PER_MS, 115200);
    });
    EXPECT_EQ(p.done, 0xD0EU);
    constexpr uint32_t RXNE = 1U << 5, ORE = 1U << 3, FE = 1U << 1;
    EXPECT_EQ(p.log, (std::vector<uint32_t>{RXNE | ORE, 'A', 0, RXNE | FE, 0, 0, 1}));
    EXPECT_EQ(device.heard, "Z");
    EXPECT_TRUE(p.findings.empty()) << ::testing::PrintToString(p.findings);
}

// Programming only clears bits; an erase sets the sector back to ones and stalls the CPU for its
// time, which the cycle counter sees; a wrong key leaves the interface locked, and is reported.
TEST(EmuProbe, FlashProgramEraseAndKeys) {
    const Probe p = RunProbe("flash");
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_EQ(p.log, (std::vector<uint32_t>{0, 0x12340078U, emu::FLASH_ERASE_NS / emu::NS_PER_MS,
                                            0xFFFFFFFFU, 1}));
    EXPECT_TRUE(Found(p, "wrong flash key sequence")) << ::testing::PrintToString(p.findings);
    std::vector<uint8_t> erased(emu::SETTINGS_BYTES, 0xFF);
    EXPECT_EQ(emu::flash_contents(), erased);
}

// Preemption is by group priority only; BASEPRI holds back what it covers until cleared.
TEST(EmuProbe, PriorityGroupingAndBasepri) {
    const Probe p = RunProbe("grouping");
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_EQ(p.log, (std::vector<uint32_t>{0x10, 0x11, 0x20, 0x30, 0x20, 0x40}));
    EXPECT_TRUE(p.findings.empty()) << ::testing::PrintToString(p.findings);
}

} // namespace
