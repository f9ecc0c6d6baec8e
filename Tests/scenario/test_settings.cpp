// Settings kept in flash: save and defaults from the console, what start-up loads and says, and
// that no power cut at any flash step (erase included) leaves anything but the old settings or
// the new ones.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
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
    return {s.settings.callsign,     s.settings.locator, s.settings.power_dbm,
            s.settings.base_freq_hz, s.settings.xtal_hz, s.settings.auto_tx};
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
                      "  set offset HZ        Random offset per frame, 0..100 Hz\r\n"
                      "  save                 Keep settings (and PPS crystal) over a reset\r\n"
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
        EXPECT_EQ(sim::Status().settings.callsign,
                  std::string("K1ABC")); // defaults changed nothing
        EXPECT_EQ(vmcu::flash_record().operations, 0u);
        Command("stop");

        vmcu::flash_refuse(true);
        EXPECT_EQ(Command("save"), "save\r\nSettings save failed: 1\r\nwspr> ");
        vmcu::flash_refuse(false);
        EXPECT_EQ(Command("save"), "save\r\nok\r\nwspr> ");
    });
}

// A save programs its record a word at a time.
constexpr uint64_t k_record_words = SETTINGS_RECORD_BYTES / 4;

// Fills the settings sectors with saves of k_old until the next save needs an erase; returns the
// flash then.
std::vector<uint8_t> FlashNeedingAnErase() {
    BootWith({});
    Apply(k_old);
    for (uint32_t n = 0; n < SETTINGS_RECORDS_PER_SECTOR; ++n) {
        sim::Type("save\r");
        sim::RunFor(2 * sim::MS);
    }
    EXPECT_EQ(vmcu::flash_record().programs, SETTINGS_RECORDS_PER_SECTOR * k_record_words);
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
        CutAtEveryStep(start, k_new, "save", k_old, k_new, k_record_words);
    });
}

TEST(Settings, PowerCutAtEveryStepOfDefaults) {
    OnFreshBoard([] {
        BootWith({});
        Apply(k_old);
        Command("save");
        const std::vector<uint8_t> start = vmcu::flash_contents();
        CutAtEveryStep(start, k_old, "defaults", k_old, k_built_in, 3); // a three-word record
    });
}

// The save that finds its sector full erases the other one first: cut in the erase (the sector
// half erased) or in the record after it.
TEST(Settings, PowerCutAtEveryStepOfASaveThatErases) {
    OnFreshBoard([] {
        const std::vector<uint8_t> full = FlashNeedingAnErase();
        CutAtEveryStep(full, k_new, "save", k_old, k_new, k_record_words + 1); // the erase first
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

// Flash holding no good record (here all zeros): "defaults" writes its record over it, so every
// later start is clean. A power cut at any of its flash steps (the erase, each word) leaves the
// flash damaged, as it was, or clean; "defaults" again then finishes the job.
TEST(Settings, DefaultsClearsDamagedFlash) {
    OnFreshBoard([] {
        const std::vector<uint8_t> zeros(2 * FLASH_SECTOR_16K_SIZE, 0);
        const std::string damaged = "Settings: damaged, using defaults\r\n";
        uint64_t steps = 0;
        for (uint64_t k = 1; steps == 0; ++k) {
            SCOPED_TRACE(k);
            BootWith(zeros);
            ASSERT_NE(sim::Console().find(damaged), std::string::npos);
            vmcu::flash_power_cut_at(k, k);
            TypeThroughCut("defaults");
            if (vmcu::flash_record().power_cuts == 0) {
                steps = k - 1;
                EXPECT_EQ(ResetAndWait(vmcu::ResetCause::POWER_ON), scenario::k_banner);
                break;
            }
            const std::string banner = sim::Console().substr(sim::Console().rfind("\r\nTOLVANE"));
            const bool clean = banner.find("Settings:") == std::string::npos;
            EXPECT_TRUE(clean || banner.find(damaged) != std::string::npos) << banner;
            EXPECT_EQ(Current(), k_built_in);
            TypeThroughCut("defaults");
            EXPECT_EQ(ResetAndWait(vmcu::ResetCause::POWER_ON), scenario::k_banner);
            EXPECT_EQ(Current(), k_built_in);
            ASSERT_LT(k, 20u);
        }
        EXPECT_EQ(steps, 4u); // the erase and a three-word record
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
        EXPECT_EQ(sim::Status().settings.base_freq_hz,
                  7000000u + 2 * SETTINGS_RECORDS_PER_SECTOR + 1);
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

// The status LED across an erase: the pass that saves stalls 250 ms over the moment of a toggle;
// the LED toggles when the pass is over, and blinks on a second apart from there.
TEST(Settings, LedTogglesAfterAnEraseOverItsMoment) {
    OnFreshBoard([] {
        BootWith(FlashNeedingAnErase());
        std::vector<uint64_t> toggles; // tick counts
        vmcu::gpio_on_change([&toggles](uint64_t t, const GPIO_TypeDef *port, int pin, int) {
            if (port == GPIOC && pin == 13) {
                toggles.push_back(scenario::TickOf(t));
            }
        });
        sim::RunFor(1500 * sim::MS);
        ASSERT_FALSE(toggles.empty());
        const uint64_t due = toggles.back() + 1000;
        sim::TypeAt(scenario::Tick(due - 100), "save\r");
        sim::RunUntil(scenario::Tick(due + 2000));
        EXPECT_EQ(vmcu::flash_record().erases, 1u);
        const auto next =
            std::find_if(toggles.begin(), toggles.end(), [due](uint64_t t) { return t >= due; });
        ASSERT_GE(toggles.end() - next, 2);
        EXPECT_GT(next[0], due) << "the erase did not span the moment";
        EXPECT_LT(next[0], due + 250);
        EXPECT_EQ(next[1], next[0] + 1000);
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

namespace {

std::vector<uint8_t> ReadFlashFile(const std::string &name) {
    std::FILE *f =
        std::fopen((std::string(WSPR_TEST_DATA_DIR) + "/settings/" + name).c_str(), "rb");
    EXPECT_NE(f, nullptr) << name;
    std::vector<uint8_t> bytes(2 * FLASH_SECTOR_16K_SIZE);
    if (f != nullptr) {
        EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
    }
    return bytes;
}

// CRC-32 as zlib computes it, written out here as the oracle of the flash records.
uint32_t Crc32(const uint8_t *p, size_t n) {
    uint32_t crc = 0xFFFFFFFFU;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xEDB88320U : crc >> 1;
        }
    }
    return ~crc;
}

// A settings record as a release writes it: the header 0x5753 'S' <words>, the sequence number,
// the payload (the settings record of that release), the CRC of all before it.
void AppendWord(std::vector<uint8_t> &bytes, uint32_t word) {
    for (int k = 0; k < 4; ++k) {
        bytes.push_back(static_cast<uint8_t>(word >> (8 * k)));
    }
}

std::vector<uint8_t> SettingsRecord(uint32_t sequence, const std::vector<uint8_t> &payload) {
    const uint32_t words = 3 + static_cast<uint32_t>(payload.size() / 4);
    std::vector<uint8_t> r;
    AppendWord(r, 0x57530000U | ('S' << 8) | words);
    AppendWord(r, sequence);
    for (uint8_t b : payload) {
        r.push_back(b);
    }
    AppendWord(r, Crc32(r.data(), r.size()));
    return r;
}

std::vector<uint8_t> ErasedFlash() {
    return std::vector<uint8_t>(2 * FLASH_SECTOR_16K_SIZE, 0xFF);
}

} // namespace

// The settings flash of the first release that kept settings loads as it was saved; a save on top
// of it appends a record of today's kind, and both kinds are read side by side.
TEST(Settings, FirstReleaseFlashLoadsUnchanged) {
    OnFreshBoard([] {
        const Kept first{"PJ4ABC", "JO22", 23, 7040100, 25001234, false};
        BootWith(ReadFlashFile("first-release-saved.bin"));
        EXPECT_NE(sim::Console().find("TOLVANE Si5351 CLK1\r\nSettings: saved\r\n"
                                      "Call=PJ4ABC Locator=JO22 Power=23dBm\r\n"),
                  std::string::npos)
            << sim::Console();
        EXPECT_EQ(Current(), first);
        Command("set power 37");
        EXPECT_EQ(Command("save"), "save\r\nok\r\nwspr> ");
        ResetAndWait(vmcu::ResetCause::POWER_ON);
        EXPECT_EQ(Current(), (Kept{"PJ4ABC", "JO22", 37, 7040100, 25001234, false}));

        BootWith(ReadFlashFile("first-release-defaults.bin"));
        EXPECT_EQ(sim::Console(), scenario::k_banner);
        EXPECT_EQ(Current(), k_built_in);
    });
}

// Records say their length: one from a later release with more settings loads what this one
// knows; one shorter than today's leaves the fields it lacks at their built-in values.
TEST(Settings, RecordsOfOtherLengthsLoad) {
    OnFreshBoard([] {
        WSPR_Settings later = k_settings_defaults;
        std::strcpy(later.callsign, "K1ABC");
        later.base_freq_hz = 7040100;
        const auto *bytes = reinterpret_cast<const uint8_t *>(&later);
        std::vector<uint8_t> payload(bytes, bytes + sizeof later);
        AppendWord(payload, 0x01020304U); // two words of newer settings
        AppendWord(payload, 0x05060708U);
        std::vector<uint8_t> flash = ErasedFlash();
        const std::vector<uint8_t> grown = SettingsRecord(5, payload);
        std::copy(grown.begin(), grown.end(), flash.begin());
        BootWith(flash);
        EXPECT_NE(sim::Console().find("Settings: saved\r\nCall=K1ABC"), std::string::npos);
        EXPECT_EQ(Current().freq, 7040100u);

        // Callsign, locator, power and automatic mode only: the frequency and crystal are the
        // built-in ones.
        payload.resize(offsetof(WSPR_Settings, base_freq_hz));
        const std::vector<uint8_t> shorter = SettingsRecord(6, payload);
        std::copy(shorter.begin(), shorter.end(), flash.begin() + grown.size());
        BootWith(flash);
        EXPECT_EQ(Current(), (Kept{"K1ABC", WSPR_DEFAULT_LOCATOR, WSPR_DEFAULT_POWER_DBM,
                                   WSPR_DEFAULT_FREQ_HZ, SI5351_XTAL_HZ, true}));
    });
}

// The mode is kept by save; records of the releases before it (the band lists' 96 bytes, and the
// 36 bytes before them) load as WSPR.
TEST(Settings, ModeIsKeptAndEarlierRecordsLoadAsWspr) {
    for (const size_t length :
         {offsetof(WSPR_Settings, band_count), offsetof(WSPR_Settings, mode)}) {
        OnFreshBoard([length] {
            WSPR_Settings before = k_settings_defaults;
            std::strcpy(before.callsign, "K1ABC");
            before.spare = 0xA5;
            auto *bytes = reinterpret_cast<uint8_t *>(&before);
            std::vector<uint8_t> payload(bytes, bytes + length);
            std::vector<uint8_t> flash = ErasedFlash();
            const std::vector<uint8_t> record = SettingsRecord(3, payload);
            std::copy(record.begin(), record.end(), flash.begin());
            BootWith(flash);
            EXPECT_NE(sim::Console().find("Settings: saved\r\nCall=K1ABC"), std::string::npos);
            EXPECT_EQ(sim::Status().settings.mode, TX_MODE_WSPR);

            EXPECT_EQ(Command("set mode fst4w-900"), "set mode fst4w-900\r\nok\r\nwspr> ");
            EXPECT_EQ(Command("save"), "save\r\nok\r\nwspr> ");
            ResetAndWait(vmcu::ResetCause::POWER_ON);
            EXPECT_EQ(sim::Status().settings.mode, TX_MODE_FST4W_900);
            EXPECT_EQ(Current().call, "K1ABC");
        });
    }
}

// Records of the releases before band lists (the settings up to the crystal, 24 bytes; then up to
// the GNSS locator and a byte of padding, 36 bytes, whatever the padding held): the frequency is a
// list of one entry with code 0, the day's settings their built-in ones; frames go out on that
// frequency with the band lines at 0.
TEST(Settings, RecordWithoutBandListLoadsAsAListOfOne) {
    for (const size_t length :
         {offsetof(WSPR_Settings, call_prefix), offsetof(WSPR_Settings, band_count)}) {
        SCOPED_TRACE(length);
        OnFreshBoard([length] {
            WSPR_Settings older = k_settings_defaults;
            std::strcpy(older.callsign, "K1ABC");
            older.base_freq_hz = 10140200;
            older.spare = 0xA5;
            const auto *bytes = reinterpret_cast<const uint8_t *>(&older);
            const std::vector<uint8_t> record =
                SettingsRecord(3, std::vector<uint8_t>(bytes, bytes + length));
            std::vector<uint8_t> flash = ErasedFlash();
            std::copy(record.begin(), record.end(), flash.begin());
            BootWith(flash);
            EXPECT_NE(sim::Console().find("Settings: saved\r\nCall=K1ABC"), std::string::npos);
            const std::string show = Command("show");
            EXPECT_NE(show.find("Bands: 30m:0\r\nHop: order, TX share: 100%, offset: +-0 Hz\r\n"),
                      std::string::npos)
                << show;
            const size_t from = sim::Console().size();
            Command("tx", "TX start");
            EXPECT_TRUE(
                RunUntilConsole("TX on 30m 10140200 Hz, offset +0 Hz, entry 1, code 0", from, 200));
            EXPECT_EQ(sim::BandCode(), 0);
        });
    }
}

// A frequency the console now refuses for want of margin (just below 150 MHz, where the tones lie
// on both sides of the Si5351's divide-by-4 boundary) but an earlier release saved: it loads
// unchanged and its frames go out, at the chip's limits as before.
TEST(Settings, SavedFrequencyWithoutMarginStillSends) {
    OnFreshBoard([] {
        WSPR_Settings saved = k_settings_defaults;
        saved.base_freq_hz = 149999998;
        const auto *bytes = reinterpret_cast<const uint8_t *>(&saved);
        const std::vector<uint8_t> record =
            SettingsRecord(1, std::vector<uint8_t>(bytes, bytes + sizeof saved));
        std::vector<uint8_t> flash = ErasedFlash();
        std::copy(record.begin(), record.end(), flash.begin());
        BootWith(flash);
        EXPECT_EQ(Current().freq, 149999998u);
        const size_t from = sim::Console().size();
        Command("tx", "TX start");
        EXPECT_TRUE(RunUntilConsole("TX complete, CLK1 disabled", from, 112000));
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
    });
}
