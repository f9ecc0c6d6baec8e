// Settings kept in flash: save and defaults from the console, what start-up loads and says, and
// that no power cut at any flash step (erase included) leaves anything but the old settings or
// the new ones.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app_config.h"
#include "scenario.h"
#include "settings_store.h"

using scenario::Command;
using scenario::OnFreshBoard;
using scenario::RunUntilConsole;

namespace {

struct Kept {
    std::string call, grid;
    unsigned power;
    uint32_t freq, xtal;
    bool auto_on;
    bool operator==(const Kept &) const = default;
};

const Kept k_built_in{WSPR_DEFAULT_CALLSIGN, WSPR_DEFAULT_LOCATOR, WSPR_DEFAULT_POWER_DBM,
                      WSPR_DEFAULT_FREQ_HZ,  SI5351_XTAL_HZ,       true};

Kept Current() {
    const WSPR_AppStatus s = sim::Status();
    return {s.callsign, s.locator, s.power_dbm, s.base_freq_hz, s.xtal_hz, s.auto_tx};
}

std::string Describe(const Kept &k) {
    return k.call + " " + k.grid + " " + std::to_string(k.power) + " " + std::to_string(k.freq) +
           " " + std::to_string(k.xtal) + (k.auto_on ? " auto" : " manual");
}

void Apply(const Kept &k) {
    EXPECT_EQ(Command("set call " + k.call), "set call " + k.call + "\r\nok\r\nwspr> ");
    Command("set grid " + k.grid);
    Command("set power " + std::to_string(k.power));
    Command("set freq " + std::to_string(k.freq));
    Command("set xtal " + std::to_string(k.xtal));
    Command(k.auto_on ? "auto on" : "auto off");
    ASSERT_EQ(Current(), k);
}

// Power-on with the settings sectors holding 'flash' (empty: erased), up to the first prompt.
void BootWith(const std::vector<uint8_t> &flash) {
    sim::Prepare();
    if (!flash.empty()) {
        vmcu::flash_load(flash);
    }
    sim::Boot();
    ASSERT_TRUE(RunUntilConsole("wspr> ", 0, 2000));
}

// A reset of the MCU alone, up to the prompt of the new start-up; its banner.
std::string ResetAndWait(vmcu::ResetCause cause) {
    const size_t from = sim::Console().size();
    sim::Reset(cause);
    EXPECT_TRUE(RunUntilConsole("wspr> ", from, 2000));
    return sim::Console().substr(from);
}

// Types the line; if the power fails on the way, runs until the board is up again.
void TypeThroughCut(const std::string &line) {
    const uint64_t cuts = vmcu::flash_record().power_cuts;
    const size_t from = sim::Console().size();
    sim::Type(line + "\r");
    for (int ms = 0; ms < 3000; ++ms) {
        sim::RunFor(sim::MS);
        const bool cut = vmcu::flash_record().power_cuts != cuts;
        const size_t banner = cut ? sim::Console().find("TOLVANE", from) : from;
        if (banner != std::string::npos &&
            sim::Console().find("\r\nwspr> ", banner) != std::string::npos) {
            return;
        }
    }
    ADD_FAILURE() << "no prompt after " << line;
}

const Kept k_old{"K1ABC", "FN42", 23, 7040100, 25001000, false};
const Kept k_new{"DL2XYZ", "JO62", 37, 28126100, 24999000, true};

TEST(Settings, SavedSettingsComeBackAfterAWatchdogResetAndAPowerCycle) {
    OnFreshBoard([] {
        BootWith({});
        Apply(k_old);
        EXPECT_EQ(Command("save"), "save\r\nok\r\nwspr> ");
        const std::string banner = ResetAndWait(vmcu::ResetCause::WATCHDOG);
        EXPECT_EQ(banner.rfind("\r\nTOLVANE Si5351 CLK1\r\nReset: watchdog\r\nSettings: saved\r\n"
                               "Call=K1ABC",
                               0),
                  0u);
        EXPECT_NE(banner.find("Call=K1ABC Locator=FN42 Power=23dBm\r\n"
                              "XTAL=25001000 Hz Base=7040100 Hz"),
                  std::string::npos);
        EXPECT_EQ(Current(), k_old);
        ResetAndWait(vmcu::ResetCause::POWER_ON);
        EXPECT_EQ(Current(), k_old);

        // defaults: the built-in values at once, and after the next start-up a banner as if
        // nothing had ever been saved.
        EXPECT_EQ(Command("defaults"), "defaults\r\nok\r\nwspr> ");
        EXPECT_EQ(Current(), k_built_in);
        EXPECT_EQ(ResetAndWait(vmcu::ResetCause::POWER_ON), scenario::k_banner);
        EXPECT_EQ(Current(), k_built_in);
    });
}

// A board that was never saved on shows exactly the banner it always had, and `defaults` then
// writes nothing.
TEST(Settings, NothingSavedNothingWritten) {
    OnFreshBoard([] {
        BootWith({});
        EXPECT_EQ(sim::Console(), scenario::k_banner);
        EXPECT_EQ(Command("defaults"), "defaults\r\nok\r\nwspr> ");
        EXPECT_EQ(vmcu::flash_record().operations, 0u);
        EXPECT_EQ(Command("help").find(
                      "  set xtal HZ          Set Si5351 crystal frequency in Hz\r\n"
                      "  save                 Keep settings over a reset\r\n"
                      "  defaults             Back to built-in settings\r\n") != std::string::npos,
                  true);
    });
}

TEST(Settings, NotWhileTransmittingAndARefusingFlashIsReported) {
    OnFreshBoard([] {
        BootWith({});
        Command("tx", "TX start");
        EXPECT_EQ(Command("save", "\r\n", 50).substr(0, 40),
                  "save\r\nerror: not while transmitting\r\n");
        Command("set call K1ABC", "ok");
        EXPECT_NE(Command("defaults", "transmitting").find("error: not while transmitting"),
                  std::string::npos);
        EXPECT_EQ(sim::Status().callsign, std::string("K1ABC")); // defaults changed nothing
        EXPECT_EQ(vmcu::flash_record().operations, 0u);
        Command("stop");

        vmcu::flash_refuse(true);
        EXPECT_EQ(Command("save"), "save\r\nSettings save failed: 1\r\nwspr> ");
        vmcu::flash_refuse(false);
        EXPECT_EQ(Command("save"), "save\r\nok\r\nwspr> ");
    });
}

// Fills the settings sectors with saves of k_old until the next save needs an erase; returns the
// flash then.
std::vector<uint8_t> FlashNeedingAnErase() {
    BootWith({});
    Apply(k_old);
    for (uint32_t n = 0; n < SETTINGS_RECORDS_PER_SECTOR; ++n) {
        sim::Type("save\r");
        sim::RunFor(2 * sim::MS);
    }
    EXPECT_EQ(vmcu::flash_record().programs, SETTINGS_RECORDS_PER_SECTOR * 9u);
    EXPECT_EQ(vmcu::flash_record().erases, 0u);
    return vmcu::flash_contents();
}

// For every flash operation of the action in turn, a power cut there: the next start-up has
// exactly 'before' or 'after', and a later attempt completes.
void CutAtEveryStep(const std::vector<uint8_t> &start, const Kept &set, const std::string &action,
                    const Kept &before, const Kept &after, uint64_t expect_steps) {
    uint64_t steps = 0;
    for (uint64_t k = 1;; ++k) {
        BootWith(start);
        if (set != Current()) {
            Apply(set);
        }
        vmcu::flash_power_cut_at(k, k);
        TypeThroughCut(action);
        if (vmcu::flash_record().power_cuts == 0) {
            steps = k - 1;
            EXPECT_EQ(Current(), after);
            ResetAndWait(vmcu::ResetCause::POWER_ON);
            EXPECT_EQ(Current(), after);
            break;
        }
        const Kept now = Current();
        EXPECT_TRUE(now == before || now == after)
            << action << " cut at flash step " << k << ": " << Describe(now);
        EXPECT_EQ(sim::Console().find("damaged"), std::string::npos) << "step " << k;
        // And the next try goes through.
        Apply(set);
        TypeThroughCut(action);
        ResetAndWait(vmcu::ResetCause::POWER_ON);
        EXPECT_EQ(Current(), after) << "after a cut at step " << k;
    }
    EXPECT_EQ(steps, expect_steps);
}

TEST(Settings, PowerCutAtEveryStepOfASave) {
    OnFreshBoard([] {
        BootWith({});
        Apply(k_old);
        Command("save");
        const std::vector<uint8_t> start = vmcu::flash_contents();
        CutAtEveryStep(start, k_new, "save", k_old, k_new, 9);
    });
}

TEST(Settings, PowerCutAtEveryStepOfDefaults) {
    OnFreshBoard([] {
        BootWith({});
        Apply(k_old);
        Command("save");
        const std::vector<uint8_t> start = vmcu::flash_contents();
        CutAtEveryStep(start, k_old, "defaults", k_old, k_built_in, 9);
    });
}

// The save that finds its sector full erases the other one first: cut in the erase (the sector
// half erased) or in the record after it.
TEST(Settings, PowerCutAtEveryStepOfASaveThatErases) {
    OnFreshBoard([] {
        const std::vector<uint8_t> full = FlashNeedingAnErase();
        CutAtEveryStep(full, k_new, "save", k_old, k_new, 10);
        EXPECT_EQ(vmcu::flash_record().erases, 1u);
    });
}

// A first save cut short leaves nothing good: the defaults, said so; a good record before a
// damaged one is used without a word.
TEST(Settings, DamagedReportedOnlyWhenNoGoodRecordIsLeft) {
    OnFreshBoard([] {
        BootWith({});
        Apply(k_old);
        vmcu::flash_power_cut_at(4, 9);
        TypeThroughCut("save");
        EXPECT_NE(sim::Console().find("TOLVANE Si5351 CLK1\r\nSettings: damaged, using defaults\r\n"
                                      "Call=" WSPR_DEFAULT_CALLSIGN),
                  std::string::npos);
        EXPECT_EQ(Current(), k_built_in);
        Apply(k_new);
        Command("save");
        EXPECT_NE(ResetAndWait(vmcu::ResetCause::POWER_ON).find("Settings: saved\r\n"),
                  std::string::npos);
        EXPECT_EQ(Current(), k_new);
    });
}

// Two sectors' worth of saves and more: each sector is erased only when full, the newest save
// always wins.
TEST(Settings, WearLevellingErasesOnlyAFullSector) {
    OnFreshBoard([] {
        BootWith({});
        for (uint32_t n = 1; n <= 2 * SETTINGS_RECORDS_PER_SECTOR + 1; ++n) {
            sim::Type("set freq " + std::to_string(7000000 + n) + "\rsave\r");
            sim::RunFor(6 * sim::MS);
            if (n == SETTINGS_RECORDS_PER_SECTOR) {
                EXPECT_EQ(vmcu::flash_record().erases, 0u);
            }
            if (n == SETTINGS_RECORDS_PER_SECTOR + 1) {
                EXPECT_EQ(vmcu::flash_record().erases, 1u);
            }
        }
        sim::RunFor(500 * sim::MS);
        EXPECT_EQ(vmcu::flash_record().erases, 2u);
        ResetAndWait(vmcu::ResetCause::POWER_ON);
        EXPECT_EQ(sim::Status().base_freq_hz, 7000000u + 2 * SETTINGS_RECORDS_PER_SECTOR + 1);
    });
}

// An erase stalls the CPU for 250 ms and the tick with it; the UTC clock is put right after, so
// the next even-minute frame starts on time.
TEST(Settings, UtcClockKeptThroughAnErase) {
    OnFreshBoard([] {
        const std::vector<uint8_t> full = FlashNeedingAnErase();
        BootWith(full);
        Command("auto on"); // the saves were of a beacon with automatic frames off
        Command("time 11:59:50");
        // The clock starts at the tick in which the line ended; 10 s later it is 12:00:00.
        const uint64_t due_ms = scenario::NowMs() + 10000;
        sim::RunFor(2000 * sim::MS);
        EXPECT_EQ(Command("save"), "save\r\nok\r\nwspr> ");
        EXPECT_EQ(vmcu::flash_record().erases, 1u);
        sim::RunUntil((due_ms + 2000) * sim::MS);
        const std::vector<scenario::Tone> tones = scenario::TonesFrom(0);
        ASSERT_FALSE(tones.empty());
        const int64_t late_ms =
            static_cast<int64_t>(tones[0].t_us / 1000) - static_cast<int64_t>(due_ms);
        EXPECT_GE(late_ms, -3);
        EXPECT_LE(late_ms, 3);
    });
}

// Random saves, defaults and setting changes with power cuts at random flash steps, on one flash
// that is never wiped (its sectors filled and erased in turn): after every start-up the settings
// are exactly the last completed ones or the ones being written.
TEST(Settings, RandomSavesWithPowerCuts) {
    OnFreshBoard([] {
        std::mt19937_64 rng(13);
        // From a full sector, so the run goes through erases too.
        BootWith(FlashNeedingAnErase());
        Kept done = k_old;
        uint64_t cuts = 0, actions = 0;
        const std::vector<std::string> calls = {"K1ABC", "DL2XYZ", "G4AAA", "VK3BB", "JA1CC"};
        for (int cycle = 0; cycle < 1200; ++cycle) {
            Kept next = done;
            const bool defaults = rng() % 5 == 0;
            if (!defaults) {
                next = {calls[rng() % calls.size()],
                        rng() % 2 ? "FN42" : "JO62",
                        static_cast<unsigned>((rng() % 6) * 10),
                        3500000u + static_cast<uint32_t>(rng() % 1000),
                        24000000u + static_cast<uint32_t>(rng() % 4000000),
                        rng() % 2 == 0};
                Apply(next);
            }
            const Kept target = defaults ? k_built_in : next;
            const uint64_t before = vmcu::flash_record().power_cuts;
            if (rng() % 2 == 0) {
                vmcu::flash_power_cut_at(1 + rng() % 10, rng());
            }
            TypeThroughCut(defaults ? "defaults" : "save");
            vmcu::flash_power_cut_at(0);
            ++actions;
            if (vmcu::flash_record().power_cuts != before) {
                ++cuts;
                const Kept now = Current();
                ASSERT_TRUE(now == done || now == target)
                    << "cycle " << cycle << ": " << Describe(now);
                done = now;
            } else {
                done = target;
                if (rng() % 4 == 0) {
                    ResetAndWait(vmcu::ResetCause::POWER_ON);
                    ASSERT_EQ(Current(), done) << "cycle " << cycle;
                }
            }
        }
        std::printf("random saves: %llu actions, %llu power cuts, %llu flash operations, "
                    "%llu erases\n",
                    static_cast<unsigned long long>(actions), static_cast<unsigned long long>(cuts),
                    static_cast<unsigned long long>(vmcu::flash_record().operations),
                    static_cast<unsigned long long>(vmcu::flash_record().erases));
        EXPECT_GT(cuts, 300u);
        EXPECT_GE(vmcu::flash_record().erases, 2u);
    });
}

} // namespace
