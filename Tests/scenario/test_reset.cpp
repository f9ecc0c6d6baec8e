// The firmware's status snapshot against what it says on the console, and resets: of the MCU alone
// (the devices outside it keep their state) and of the whole board.
#include <cstring>
#include <string>

#include "app_config.h"
#include "scenario.h"

using scenario::Boot;
using scenario::Command;
using scenario::OnFreshBoard;
using scenario::RunUntilConsole;

namespace {

void ExpectDefaults(const WSPR_AppStatus &s) {
    EXPECT_STREQ(s.settings.callsign, WSPR_DEFAULT_CALLSIGN);
    EXPECT_STREQ(s.settings.locator, WSPR_DEFAULT_LOCATOR);
    EXPECT_EQ(s.settings.power_dbm, WSPR_DEFAULT_POWER_DBM);
    EXPECT_EQ(s.settings.base_freq_hz, WSPR_DEFAULT_FREQ_HZ);
    EXPECT_EQ(s.settings.xtal_hz, SI5351_XTAL_HZ);
    EXPECT_TRUE(s.settings.auto_tx);
    EXPECT_FALSE(s.time_valid);
    EXPECT_EQ(s.line_length, 0u);
}

} // namespace

TEST(Status, FollowsWhatTheConsoleDid) {
    OnFreshBoard([] {
        Boot();
        WSPR_AppStatus s = sim::Status();
        EXPECT_EQ(s.state, WSPR_STATE_IDLE);
        ExpectDefaults(s);

        for (const char *line :
             {"set call K1ABC", "set grid FN42", "set power 23", "set freq 7040100",
              "set xtal 25000000", "auto off", "time 12:34:56"}) {
            const std::string reply = Command(line);
            ASSERT_EQ(reply.find("error"), std::string::npos) << reply;
        }
        sim::RunFor(2 * sim::SECOND);
        s = sim::Status();
        EXPECT_STREQ(s.settings.callsign, "K1ABC");
        EXPECT_STREQ(s.settings.locator, "FN42");
        EXPECT_EQ(s.settings.power_dbm, 23u);
        EXPECT_EQ(s.settings.base_freq_hz, 7040100u);
        EXPECT_EQ(s.settings.xtal_hz, 25000000u);
        EXPECT_FALSE(s.settings.auto_tx);
        EXPECT_TRUE(s.time_valid);
        EXPECT_EQ(s.utc_seconds, 12u * 3600 + 34 * 60 + 58);

        // A line being typed, then a frame: the symbol on the air follows the symbol clock.
        sim::Type("sho");
        sim::RunFor(5 * sim::MS);
        EXPECT_EQ(sim::Status().line_length, 3u);
        sim::Type("\b\b\b");
        sim::RunFor(5 * sim::MS);
        ASSERT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
        EXPECT_EQ(sim::Status().state, WSPR_STATE_TX);
        EXPECT_EQ(sim::Status().symbol_index, 0u);
        sim::RunFor(10 * sim::SECOND);
        EXPECT_EQ(sim::Status().symbol_index, 10000000u / WSPR_SYMBOL_PERIOD_US);
        Command("stop");
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
    });
}

// The MCU resets in the middle of a frame: the Si5351 is not reset with it and keeps its carrier
// until the firmware's new start-up switches CLK1 off. Everything in the firmware's RAM (settings,
// a half-typed line) starts again from its defaults; the time line of the world goes on.
TEST(Reset, OfTheMcuMidFrameLeavesTheCarrierUntilTheNewStartUp) {
    OnFreshBoard([] {
        Boot();
        ASSERT_NE(Command("set call K1ABC").find("ok"), std::string::npos);
        ASSERT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
        sim::RunFor(5 * sim::SECOND);
        sim::Type("set power 2");
        sim::RunFor(5 * sim::MS);
        ASSERT_TRUE(sim::Chip().clk1_on());
        const uint64_t resets = vmcu::resets();
        const uint64_t at_ns = sim::Now();
        const size_t from = sim::Console().size();

        sim::Reset(vmcu::ResetCause::PIN);
        EXPECT_TRUE(sim::Chip().clk1_on()) << "the reset reached the Si5351";
        ASSERT_TRUE(RunUntilConsole("wspr> ", from, 1000));
        EXPECT_EQ(vmcu::resets(), resets + 1);
        EXPECT_GE(sim::Now(), at_ns);
        EXPECT_FALSE(sim::Chip().clk1_on());
        const uint64_t off_us = scenario::OffAfter(at_ns / 1000);
        EXPECT_GE(off_us * 1000, at_ns);
        EXPECT_LT(off_us * 1000, sim::Now());
        EXPECT_EQ(sim::Console().substr(from), scenario::BannerAfterReset("pin"));

        const WSPR_AppStatus s = sim::Status();
        EXPECT_EQ(s.state, WSPR_STATE_IDLE);
        ExpectDefaults(s);
        // The half-typed line is gone: "3" alone is no command.
        EXPECT_NE(Command("3").find("error: unknown command"), std::string::npos);
    });
}

// Power off and on again: the chip and the world start afresh too, and the beacon works as new.
TEST(Reset, PowerCycleStartsTheWholeBoardAgain) {
    OnFreshBoard([] {
        Boot();
        ASSERT_NE(Command("set freq 7040100").find("ok"), std::string::npos);
        ASSERT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
        sim::RunFor(3 * sim::SECOND);
        ASSERT_TRUE(sim::Chip().clk1_on());

        Boot();
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_EQ(scenario::TonesFrom(0).size(), 0u);
        EXPECT_LT(sim::Now(), sim::SECOND);
        EXPECT_EQ(sim::Console(), scenario::k_banner);
        ExpectDefaults(sim::Status());
        ASSERT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
        EXPECT_TRUE(sim::Chip().clk1_on());
    });
}

// A reset that comes while firmware code is running (as a watchdog's would, here in the middle of
// a tone change's I2C transfer) abandons the firmware's call stack as the chip does: the firmware
// starts again from its reset handler, with nothing left of the pass it was in, and works on.
TEST(Reset, InsideFirmwareCodeAbandonsItsCallStack) {
    OnFreshBoard([] {
        Boot();
        ASSERT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
        const uint64_t resets = vmcu::resets();
        const uint64_t after_ns = sim::Now() + 3 * sim::SECOND;
        bool done = false;
        uint64_t reset_ns = 0;
        size_t from = 0;
        vmcu::i2c_on_transfer([&](const vmcu::I2cTransfer &t) {
            if (!done && t.kind == vmcu::I2cTransfer::MEM_WRITE && t.start_ns >= after_ns) {
                done = true;
                reset_ns = sim::Now();
                from = sim::Console().size();
                sim::Reset(vmcu::ResetCause::WATCHDOG); // does not return here
                ADD_FAILURE() << "the firmware went on after its reset";
            }
        });
        sim::RunFor(5 * sim::SECOND);
        vmcu::i2c_on_transfer(nullptr);
        ASSERT_TRUE(done);
        EXPECT_EQ(vmcu::resets(), resets + 1);
        EXPECT_EQ(sim::Console().substr(from), scenario::BannerAfterReset("watchdog"));
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_GE(scenario::OffAfter(reset_ns / 1000) * 1000, reset_ns);
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
        EXPECT_FALSE(vmcu::irq_masked());

        // The board works as after any start-up: a whole frame goes out and ends.
        ASSERT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
        sim::RunFor(115 * sim::SECOND);
        EXPECT_NE(sim::Console().find("TX complete", from), std::string::npos);
        EXPECT_FALSE(sim::Chip().clk1_on());
    });
}
