// The emulated chip's CPU and register models, each checked with a small program of its own
// (Tests/image/probes, built with the board image; WSPR_PROBES names their directory).
#include <cstdlib>
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

Probe RunProbe(const std::string &name) {
    const char *dir = std::getenv("WSPR_PROBES");
    EXPECT_NE(dir, nullptr) << "set WSPR_PROBES to the probes' directory (make image-test does)";
    Probe p;
    if (dir == nullptr) {
        return p;
    }
    std::string error;
    EXPECT_TRUE(emu::load(std::string(dir) + "/probe_" + name + ".elf", error)) << error;
    emu::reset();
    emu::run(10 * emu::NS_PER_MS);
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

} // namespace
