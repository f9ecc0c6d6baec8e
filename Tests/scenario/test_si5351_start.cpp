// The Si5351 after power-up: it loads its registers first and says so with SYS_INIT (register 0,
// bit 7). The beacon reads that flag before its first write and waits while it is set; a flag that
// never clears is a Si5351 that failed to start, retried as any other.
#include <algorithm>
#include <cstdio>
#include <string>

#include "scenario.h"

using scenario::OnFreshBoard;

namespace {

const vmcu::I2cTransfer *FirstWrite() {
    const auto &log = vmcu::i2c_log();
    const auto it = std::find_if(log.begin(), log.end(), [](const vmcu::I2cTransfer &t) {
        return t.kind == vmcu::I2cTransfer::MEM_WRITE;
    });
    return it == log.end() ? nullptr : &*it;
}

size_t Reads() {
    const auto &log = vmcu::i2c_log();
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [](const auto &t) {
        return t.kind == vmcu::I2cTransfer::MEM_READ;
    }));
}

} // namespace

// The first write waits until the status register says the chip is initialised, and reads of it
// are what come between the probe and that write: the chip's default hold, and a longer one.
TEST(Si5351Start, FirstWriteWaitsForSysInitToClear) {
    for (const uint64_t hold_ns : {sim::Si5351Model::DEFAULT_SYS_INIT_NS, 40 * sim::MS}) {
        SCOPED_TRACE(testing::Message() << "SYS_INIT for " << hold_ns / 1e6 << " ms");
        OnFreshBoard([hold_ns] {
            scenario::Boot({.si5351_sys_init_ns = hold_ns});
            const vmcu::I2cTransfer *write = FirstWrite();
            ASSERT_NE(write, nullptr);
            EXPECT_GE(write->start_ns, hold_ns);
            EXPECT_LT(write->start_ns, hold_ns + 2 * sim::MS);
            const auto &log = vmcu::i2c_log();
            const size_t first = static_cast<size_t>(write - log.data());
            ASSERT_GE(first, 2u);
            EXPECT_EQ(log[0].kind, vmcu::I2cTransfer::PROBE);
            for (size_t i = 1; i < first; ++i) {
                EXPECT_EQ(log[i].kind, vmcu::I2cTransfer::MEM_READ) << "entry " << i;
                EXPECT_EQ(log[i].bytes.front(), 0u) << "entry " << i; // register 0
            }
            EXPECT_EQ(log[first - 1].bytes, (std::vector<uint8_t>{0, 0x00}));
            EXPECT_EQ(log[first - 2].bytes, (std::vector<uint8_t>{0, 0x80}));
            EXPECT_NE(sim::Console().find("Si5351 init status: 0\r\n"), std::string::npos);
            std::printf("SYS_INIT held %.0f ms: first write at %.3f ms after %zu reads\n",
                        hold_ns / 1e6, write->start_ns / 1e6, first - 1);
        });
    }
}

// A flag that never clears: nothing is written to the chip, the start-up reports a time-out
// (HAL_TIMEOUT, 3) and the beacon is in ERROR; its retry 30 s later finds the chip ready and the
// beacon comes back to IDLE, as after any other failed start.
TEST(Si5351Start, SysInitThatNeverClearsIsAFailedStartRetried) {
    OnFreshBoard([] {
        scenario::Boot({.si5351_sys_init_ns = UINT64_MAX});
        EXPECT_NE(sim::Console().find("Si5351 init status: 3\r\n"), std::string::npos)
            << sim::Console();
        EXPECT_EQ(sim::Status().state, WSPR_STATE_ERROR);
        EXPECT_EQ(FirstWrite(), nullptr);
        const size_t reads = Reads();
        EXPECT_GE(reads, 40u); // one a tick for 50 ms
        EXPECT_LE(reads, 52u);
        sim::Chip().hold_sys_init(0);
        sim::RunFor(31 * sim::SECOND);
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
        EXPECT_NE(FirstWrite(), nullptr);
    });
}
