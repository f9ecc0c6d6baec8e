// The emulated chip's CPU and register models, each checked with a small program of its own
// (Tests/image/probes, built with the board image; WSPR_PROBES names their directory).
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "emu.h"
#include "emu_internal.h"

namespace {

// A peripheral model outside the emulator's library, where TIM10 would be (probe_extension.cpp):
// it joins the chip by being constructed, as the chip's own models do.
class Extension : public emu::detail::Peripheral {
  public:
    Extension() : Peripheral("EXTENSION", 0x40014400, 0x400, {0, 0}) {}
    void world_reset() override { resets.push_back("world"); }
    void power_on_reset() override {
        resets.push_back("power-on");
        Clear();
    }
    void mcu_reset() override {
        resets.push_back("mcu");
        Clear();
    }
    uint32_t read(uint32_t off, unsigned) override {
        return off == 0 ? kept : off == 4 ? events : 0;
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        if (off == 0) {
            kept = v;
            written_at = emu::detail::now();
            next = written_at + emu::NS_PER_MS;
        } else if (off == 8) {
            emu::detail::irq_level(0, false);
        }
    }
    uint64_t next_event_ns() const override { return next; }
    void on_event(uint64_t t_ns) override {
        next = emu::detail::NEVER;
        event_at = t_ns;
        ++events;
        emu::detail::irq_level(0, true);
    }

    std::vector<std::string> resets;
    uint32_t kept = 0, events = 0;
    uint64_t next = emu::detail::NEVER, written_at = 0, event_at = 0;

  private:
    void Clear() {
        kept = events = 0;
        next = emu::detail::NEVER;
    }
};
Extension g_extension;

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

// TIM3's update interrupt every millisecond and SysTick's every 2 ms, from the prescalers and
// reloads on the 16 MHz HSI.
TEST(EmuProbe, TimerAndSysTickPeriods) {
    const Probe p = RunProbe("timers");
    EXPECT_EQ(p.done, 0xD0EU);
    ASSERT_EQ(p.log.size(), 2u);
    EXPECT_EQ(p.log[0], 20u);
    EXPECT_EQ(p.log[1], 10u);
    EXPECT_TRUE(p.findings.empty()) << ::testing::PrintToString(p.findings);
}

// Never refreshed, the watchdog resets the chip after (reload + 1) x 4 LSI periods; the next
// start finds IWDGRSTF and PINRSTF (the reset drives the pin) beside the power-on flags nobody
// cleared; RMVF clears them all.
TEST(EmuProbe, WatchdogResetAndItsFlag) {
    const Probe p = RunProbe("iwdg");
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_EQ(emu::resets(), 1u);
    ASSERT_EQ(p.log.size(), 2u);
    EXPECT_EQ(p.log[0] & 0x2EU, 0x2EU); // IWDGRSTF, PORRSTF, PINRSTF, BORRSTF (bits 29, 27..25)
    EXPECT_EQ(p.log[1] & 0xFEU, 0u);
}

// The watchdog's reset after 12.5 ms of spinning at 25 MHz comes when it is due, and time goes on
// from there: the 25 MHz cycles before it are not counted again at the HSI's 16 MHz.
TEST(EmuProbe, ResetKeepsTheTimeOfTheClockBeforeIt) {
    const char *dir = std::getenv("WSPR_PROBES");
    ASSERT_NE(dir, nullptr) << "set WSPR_PROBES to the probes' directory (make image-test does)";
    std::string error;
    ASSERT_TRUE(emu::load(std::string(dir) + "/probe_reset_clock.elf", error)) << error;
    emu::reset();
    constexpr uint64_t STEP_NS = 10000;
    uint64_t before = 0;
    while (emu::resets() == 0 && emu::now_ns() < 100 * emu::NS_PER_MS) {
        before = emu::now_ns();
        emu::run(before + STEP_NS);
    }
    ASSERT_EQ(emu::resets(), 1u);
    // The HSE starts in 0.5 ms; the watchdog counts 12.5 ms from soon after.
    EXPECT_GE(before + STEP_NS, 13 * emu::NS_PER_MS);
    EXPECT_LE(before, 13 * emu::NS_PER_MS + emu::NS_PER_MS / 2);
    EXPECT_LE(emu::now_ns(), before + 2 * STEP_NS) << "time jumped at the reset";
    emu::run(emu::now_ns() + emu::NS_PER_MS);
    uint32_t done = 0;
    emu::read_memory(emu::symbol("probe_done"), &done, sizeof done);
    EXPECT_EQ(done, 0xD0EU);
    EXPECT_TRUE(emu::findings().empty()) << ::testing::PrintToString(emu::findings());
}

// A device on the bus as the emulated I2C1 reaches it.
class Recorder : public dev::I2cDevice {
  public:
    bool i2c_start(uint64_t) override {
        events.push_back("S");
        return true;
    }
    bool i2c_write(uint8_t byte, uint64_t) override {
        events.push_back(std::to_string(byte));
        return true;
    }
    void i2c_stop(uint64_t) override { events.push_back("P"); }
    std::vector<std::string> events;
};

// The whole write sequence reaches the device; an address nobody acknowledges ends in AF.
TEST(EmuProbe, I2cWriteAndAnUnansweredAddress) {
    Recorder device;
    std::vector<emu::I2cTransfer> transfers;
    const Probe p = RunProbe("i2c_write", [&] {
        emu::i2c_attach(0x60, &device);
        emu::i2c_on_transfer([&transfers](const emu::I2cTransfer &t) { transfers.push_back(t); });
    });
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_EQ(p.log, (std::vector<uint32_t>{1U << 1, 1U << 10})); // ADDR, then AF
    EXPECT_EQ(device.events, (std::vector<std::string>{"S", "3", "255", "P"}));
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].bytes, (std::vector<uint8_t>{0x03, 0xFF}));
    EXPECT_TRUE(transfers[0].acked);
    EXPECT_FALSE(transfers[1].acked);
    // Address and two bytes at 100 kHz: 27 bit times and the START and STOP, about 0.3 ms.
    EXPECT_NEAR(static_cast<double>(transfers[0].end_ns - transfers[0].start_ns), 290000.0,
                30000.0);
    EXPECT_TRUE(p.findings.empty()) << ::testing::PrintToString(p.findings);
    emu::i2c_on_transfer(nullptr);
}

// The RCC's reset line of I2C1 cuts a write in the middle of a byte: the bus carried the address
// and one byte (logged when the reset came); held, I2C1 reads its reset values and takes no write;
// the device is left in its transfer until the STOP made with the pins; the next write goes out.
TEST(EmuProbe, I2cCutByItsResetLine) {
    Recorder device;
    std::vector<emu::I2cTransfer> transfers;
    const Probe p = RunProbe("i2c_reset", [&] {
        emu::i2c_attach(0x60, &device);
        emu::i2c_on_transfer([&transfers](const emu::I2cTransfer &t) { transfers.push_back(t); });
    });
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_EQ(p.log, (std::vector<uint32_t>{1U << 21, 0U, 0U}));
    EXPECT_EQ(device.events, (std::vector<std::string>{"S", "50", "P", "S", "3", "P"}));
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].bytes, (std::vector<uint8_t>{0x32}));
    EXPECT_TRUE(transfers[0].acked);
    EXPECT_EQ(transfers[1].bytes, (std::vector<uint8_t>{0x03}));
    EXPECT_TRUE(p.findings.empty()) << ::testing::PrintToString(p.findings);
    emu::i2c_on_transfer(nullptr);
}

// A model the core names nowhere gets its bus accesses, its event at its time and its interrupt
// taken; a new world reaches it before the power-on, a reset from inside resets its registers
// only, a power-on reset its backup domain too.
TEST(EmuProbe, APeripheralJoinsTheChipByBeingConstructed) {
    g_extension.resets.clear();
    const Probe p = RunProbe("extension");
    EXPECT_EQ(p.done, 0xD0EU);
    EXPECT_EQ(p.log, (std::vector<uint32_t>{0x5A5AU, 0x101U}));
    EXPECT_EQ(g_extension.event_at - g_extension.written_at, emu::NS_PER_MS);
    EXPECT_TRUE(p.findings.empty()) << ::testing::PrintToString(p.findings);
    EXPECT_EQ(g_extension.resets, (std::vector<std::string>{"world", "power-on"}));
    emu::reset_mcu(emu::ResetCause::WATCHDOG);
    emu::reset_mcu(emu::ResetCause::POWER_ON);
    EXPECT_EQ(g_extension.resets,
              (std::vector<std::string>{"world", "power-on", "mcu", "power-on"}));
}

} // namespace
