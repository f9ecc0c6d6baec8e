// Whole frames on the Si5351 model: symbol timing, tones, the end, stop, refusals and failures.
#include <string>
#include <vector>

#include "debug_access.h"
#include "scenario.h"
#include "si5351.h"
#include "wspr_encoder.h"

using scenario::Boot;
using scenario::Command;
using scenario::OnFreshBoard;
using scenario::Tick;
using scenario::TickOf;

namespace {

constexpr uint64_t PLL_HZ = 900000000;
constexpr uint64_t FRAME_END_MS = 110593; // ceil(162 x 682667 us / 1 ms)

// What CLK1 really emits when the driver plans frequency f: the model's decoding of the
// parameters the driver computes for it.
uint64_t PlannedEmission(uint64_t f_uhz) {
    Si5351Params pll = Si5351_CalcPllParams(PLL_HZ);
    Si5351Params ms = Si5351_CalcMsParamsUhz(PLL_HZ, f_uhz);
    return sim::Si5351Model::Clk1OutputUhz(sim::Si5351Model::DEFAULT_XTAL_HZ, pll.p1, pll.p2,
                                           pll.p3, ms.p1, ms.p2, ms.p3, 0);
}

std::vector<uint8_t> Symbols(const char *call, const char *loc, uint8_t dbm) {
    std::vector<uint8_t> s(WSPR_SYMBOL_COUNT);
    EXPECT_TRUE(WSPR_Encode(call, loc, dbm, s.data()));
    return s;
}

// The first I2C operation at or after t: a frame start or tone change begins with it.
uint64_t FirstI2cAfter(uint64_t t_ns) {
    for (const vmcu::I2cTransfer &x : vmcu::i2c_log()) {
        if (x.start_ns >= t_ns) {
            return x.start_ns;
        }
    }
    return UINT64_MAX;
}

// Checks a complete frame whose start was processed in millisecond start_ms: 162 tones, tone i
// switched at tick start + ceil(i x 682667 us / 1 ms) (symbol 0 in the start pass), each at the
// frequency the driver plans for its symbol; CLK1 off at tick start + 110593.
void ExpectFrame(uint64_t start_ms, uint64_t base_hz, const std::vector<uint8_t> &symbols) {
    std::vector<scenario::Tone> tones = scenario::TonesFrom(Tick(start_ms) / 1000);
    uint64_t end_us = Tick(start_ms + FRAME_END_MS) / 1000;
    std::vector<scenario::Tone> in_frame;
    for (const scenario::Tone &t : tones) {
        if (t.t_us < end_us) {
            in_frame.push_back(t);
        }
    }
    ASSERT_EQ(in_frame.size(), WSPR_SYMBOL_COUNT);
    for (size_t i = 0; i < in_frame.size(); ++i) {
        uint64_t due_ms = start_ms + (i * 682667 + 999) / 1000;
        uint64_t switch_ns = i == 0 ? Tick(start_ms) : Tick(due_ms);
        // The retune starts in the pass of that tick and takes the bus under a millisecond.
        if (i > 0) {
            EXPECT_EQ(FirstI2cAfter(Tick(due_ms)), Tick(due_ms)) << "symbol " << i;
        }
        EXPECT_GE(in_frame[i].t_us * 1000, switch_ns) << "symbol " << i;
        EXPECT_LT(in_frame[i].t_us * 1000, (i == 0 ? Tick(start_ms + 1) : switch_ns) + sim::MS)
            << "symbol " << i;
        uint64_t planned = base_hz * 1000000 + symbols[i] * 1464844ULL;
        EXPECT_EQ(in_frame[i].freq_uhz, PlannedEmission(planned)) << "symbol " << i;
    }
    uint64_t off = scenario::OffAfter(in_frame.back().t_us);
    EXPECT_GE(off * 1000, Tick(start_ms + FRAME_END_MS));
    EXPECT_LT(off * 1000, Tick(start_ms + FRAME_END_MS) + sim::MS);
}

// Millisecond (tick count) in which the frame start was processed: the console line was typed
// then, and the first tone's transfers began in that pass.
uint64_t StartMsOfLastTx(uint64_t typed_after_ns) {
    return TickOf(FirstI2cAfter(typed_after_ns));
}

} // namespace

TEST(Frame, WholeFrameTimingTonesAndEnd) {
    OnFreshBoard([] {
        Boot();
        sim::RunFor(1234 * sim::MS);
        uint64_t t = sim::Now();
        std::string out = Command("tx", "TX start");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(200 * sim::MS);
        EXPECT_TRUE(sim::Console().ends_with("tx\r\nTX start QZ5RTV OM85 10dBm, 162 symbols\r\n"));
        EXPECT_TRUE(scenario::RunUntilConsole("TX complete", 0, 111000));
        sim::RunFor(10 * sim::MS);
        ExpectFrame(start_ms, 14097070, Symbols("QZ5RTV", "OM85", 10));
        std::string console = sim::Console();
        EXPECT_TRUE(console.ends_with("symbols\r\nTX complete, CLK1 disabled\r\nwspr> ")) << console;
        EXPECT_FALSE(sim::Chip().clk1_on());
    });
}

TEST(Frame, SettingsOfTheMessageAndFrequencyApply) {
    OnFreshBoard([] {
        Boot();
        Command("set call k1abc");
        Command("set grid fn42");
        Command("set power 37");
        Command("set freq 7040100");
        uint64_t t = sim::Now();
        Command("tx", "TX start K1ABC FN42 37dBm, 162 symbols\r\n");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(111000 * sim::MS);
        ExpectFrame(start_ms, 7040100, Symbols("K1ABC", "FN42", 37));
    });
}

TEST(Frame, TxDuringFrameRefusedWithoutDisturbingIt) {
    OnFreshBoard([] {
        Boot();
        uint64_t t = sim::Now();
        Command("tx", "TX start");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(5000 * sim::MS);
        size_t from = sim::Console().size();
        sim::Type("tx\r");
        sim::RunFor(10000 * sim::MS);
        // The refusal is printed; the prompt waits for the end of the frame.
        EXPECT_EQ(sim::Console().substr(from), "tx\r\nTX rejected: already transmitting\r\n");
        sim::RunFor(100000 * sim::MS);
        ExpectFrame(start_ms, 14097070, Symbols("QZ5RTV", "OM85", 10));
        EXPECT_EQ(
            sim::Console().substr(from),
            "tx\r\nTX rejected: already transmitting\r\nTX complete, CLK1 disabled\r\nwspr> ");
    });
}

TEST(Frame, StopEndsAtOnceAndNextFrameStartsFresh) {
    OnFreshBoard([] {
        Boot();
        Command("tx", "TX start");
        sim::RunFor(3000 * sim::MS);
        ASSERT_TRUE(sim::Chip().clk1_on());
        uint64_t t = sim::Now();
        EXPECT_EQ(Command("stop"), "stop\r\nTX complete, CLK1 disabled\r\nwspr> ");
        EXPECT_FALSE(sim::Chip().clk1_on());
        uint64_t off = scenario::OffAfter(t / 1000);
        EXPECT_LT(off * 1000 - t, 2 * sim::MS);
        // Stop when nothing is sent says the same.
        EXPECT_EQ(Command("stop"), "stop\r\nTX complete, CLK1 disabled\r\nwspr> ");

        Command("set call QZ7ABC"); // applies to the next frame, encoded afresh
        t = sim::Now();
        Command("tx", "TX start QZ7ABC");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(111000 * sim::MS);
        ExpectFrame(start_ms, 14097070, Symbols("QZ7ABC", "OM85", 10));
    });
}

// A main loop held up by a console that cannot transmit (each line waits out its 100 ms) skips
// the symbols that fell due meanwhile but keys the one due then, and the frame ends on time.
TEST(Frame, StalledMainLoopResumesWithDueSymbol) {
    OnFreshBoard([] {
        Boot();
        uint64_t t = sim::Now();
        Command("tx", "TX start");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(2000 * sim::MS);
        vmcu::uart_stall_tx(sim::CONSOLE_UART, true);
        uint64_t stall_begin = sim::Now();
        sim::Type("help\r");
        sim::RunFor(3000 * sim::MS);
        vmcu::uart_stall_tx(sim::CONSOLE_UART, false);
        sim::RunFor(110000 * sim::MS);

        std::vector<scenario::Tone> tones = scenario::TonesFrom(Tick(start_ms) / 1000);
        // Tone changes before the stall, one right after it, and then on schedule again.
        uint64_t first_after = 0;
        for (const scenario::Tone &tone : tones) {
            if (tone.t_us * 1000 > stall_begin + 500 * sim::MS) {
                first_after = tone.t_us;
                break;
            }
        }
        ASSERT_NE(first_after, 0u);
        uint64_t resumed_ms = TickOf(first_after * 1000 - 700 * 1000);
        std::vector<uint8_t> symbols = Symbols("QZ5RTV", "OM85", 10);
        EXPECT_LT(tones.size(), WSPR_SYMBOL_COUNT); // the symbols due during the stall were skipped
        // Within the pass that resumed, the symbol due at that millisecond is keyed.
        bool found = false;
        for (const scenario::Tone &tone : tones) {
            if (tone.t_us >= first_after && tone.t_us * 1000 < Tick(resumed_ms + 3)) {
                uint64_t ms = TickOf(tone.t_us * 1000 - 700 * 1000);
                uint64_t index = ((ms - start_ms) * 1000) / 682667;
                found = found || tone.freq_uhz == PlannedEmission(14097070000000ULL +
                                                                  symbols[index] * 1464844ULL);
            }
        }
        EXPECT_TRUE(found);
        uint64_t off = scenario::OffAfter(tones.back().t_us);
        EXPECT_GE(off * 1000, Tick(start_ms + FRAME_END_MS));
        EXPECT_LT(off * 1000, Tick(start_ms + FRAME_END_MS) + sim::MS);
    });
}

TEST(Frame, FailedFirstToneGoesToErrorUntilStop) {
    OnFreshBoard([] {
        Boot();
        vmcu::i2c_fail(vmcu::i2c_operations(), HAL_BUSY, false);
        EXPECT_EQ(Command("tx"), "tx\r\nSi5351 tone set failed: 2\r\nwspr> ");
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_EQ(Command("tx"), "tx\r\nTX rejected: app error\r\nwspr> ");
        EXPECT_EQ(Command("stop"), "stop\r\nTX complete, CLK1 disabled\r\nwspr> ");
        EXPECT_NE(Command("tx").find("TX start QZ5RTV OM85 10dBm"), std::string::npos);
    });
}

// A tone change whose first transfer fails leaves the previous tone on the chip; the beacon
// switches the carrier off as it gives up the frame.
TEST(Frame, FailedToneUpdateLeavesNoCarrier) {
    OnFreshBoard([] {
        Boot();
        Command("tx", "TX start");
        sim::RunFor(100 * sim::MS);
        ASSERT_TRUE(sim::Chip().clk1_on());
        size_t from = sim::Console().size();
        vmcu::i2c_fail(vmcu::i2c_operations(), HAL_TIMEOUT, false);
        sim::RunFor(1000 * sim::MS);
        // The prompt held back since the "tx" line comes now that no frame is on the air.
        EXPECT_EQ(sim::Console().substr(from), "Si5351 tone update failed: 3\r\nwspr> ");
        EXPECT_FALSE(sim::Chip().clk1_on());
        size_t changes = sim::Chip().timeline().size();
        sim::RunFor(5000 * sim::MS); // the frame is abandoned: no more tones
        EXPECT_EQ(sim::Chip().timeline().size(), changes);
        EXPECT_EQ(Command("tx"), "tx\r\nTX rejected: app error\r\nwspr> ");
    });
}

TEST(Frame, SettingsChangedDuringFrameApplyAsDocumented) {
    OnFreshBoard([] {
        Boot();
        uint64_t t = sim::Now();
        Command("tx", "TX start");
        uint64_t start_ms = StartMsOfLastTx(t);
        Command("set call QZ7ABC", "ok"); // next frame only
        sim::RunFor(50000 * sim::MS);
        Command("set freq 10140200", "ok"); // from the next tone on
        uint64_t changed = sim::Now();
        sim::RunFor(70000 * sim::MS);
        std::vector<uint8_t> symbols = Symbols("QZ5RTV", "OM85", 10);
        std::vector<scenario::Tone> tones = scenario::TonesFrom(Tick(start_ms) / 1000);
        ASSERT_GE(tones.size(), WSPR_SYMBOL_COUNT);
        for (size_t i = 0; i < WSPR_SYMBOL_COUNT; ++i) {
            uint64_t base = tones[i].t_us * 1000 < changed ? 14097070 : 10140200;
            EXPECT_EQ(tones[i].freq_uhz, PlannedEmission(base * 1000000 + symbols[i] * 1464844ULL))
                << i;
        }
    });
}

// The millisecond counter wraps after 49.7 days. Put it (as a debugger would) 30 s before the
// wrap and send a frame across it: every boundary falls where it would without a wrap.
TEST(Frame, FrameAcrossMillisecondWrap) {
    OnFreshBoard([] {
        Boot();
        ASSERT_TRUE(sim::PokeFirmwareU32("g_ms", 0xFFFFFFFFu - 30000));
        uint64_t base_tick = TickOf(sim::Now()); // g_ms = base_value + (tick - base_tick)
        sim::RunFor(10 * sim::MS);
        uint64_t t = sim::Now();
        Command("tx", "TX start");
        uint64_t start_ms = StartMsOfLastTx(t);
        ASSERT_LT(start_ms - base_tick, 30000u);
        EXPECT_TRUE(scenario::RunUntilConsole("TX complete, CLK1 disabled", 0, 112000));
        ExpectFrame(start_ms, 14097070, Symbols("QZ5RTV", "OM85", 10));
        uint32_t g_ms = 0;
        ASSERT_TRUE(sim::PeekFirmwareU32("g_ms", g_ms));
        EXPECT_LT(g_ms, 100000u); // it did wrap
        // And the beacon goes on: another frame, by key this time.
        Command("show", "State: IDLE");
        t = sim::Now();
        Command("tx", "TX start");
        start_ms = StartMsOfLastTx(t);
        sim::RunFor(111000 * sim::MS);
        ExpectFrame(start_ms, 14097070, Symbols("QZ5RTV", "OM85", 10));
    });
}
