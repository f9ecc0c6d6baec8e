// The board image on the emulated STM32F411 against the PC build: the same wspr-sim run, once
// with --image and once without, must give the same console bytes, the same tones in the same
// order (each within ONE_MS of the PC build's time: the image's instructions and bus cycles take
// time the PC build's virtual MCU does not count), the same I2C writes and the same settings
// flash. A run on the image also fails when the emulated chip found anything wrong (exit 5).
//
// The image comes from WSPR_IMAGE (make image-test sets it to the board build's .elf).
#include <elf.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app_config.h"
#include "line_watch.h"
#include "settings_store.h"
#include "test_dir.h"
#include "tones.h"
#include "fst4w_encoder.h"
#include "tx_mode.h"
#include "wspr_encoder.h"

namespace {

constexpr uint64_t ONE_MS = 1000; // microseconds

struct Outcome {
    int status;
    std::string console, err, i2c;
    struct Change {
        uint64_t t_us;
        int on;
        uint64_t freq_uhz;
    };
    std::vector<Change> rf;
    std::vector<std::string> writes; // addr,reg,data,status of each I2C write, without the time
    std::vector<lines::Event> lines; // the band lines and the amplifier line, from the pin log
};

class Image : public scenario::TestWithDir {
  protected:
    Image() : TestWithDir("wspr-image-") {}
    void SetUp() override {
        TestWithDir::SetUp();
        const char *image = std::getenv("WSPR_IMAGE");
        ASSERT_NE(image, nullptr) << "set WSPR_IMAGE to the board image (make image-test does)";
        image_ = image;
        ASSERT_TRUE(std::filesystem::exists(image_)) << image_;
    }

    Outcome Sim(const std::string &args, bool on_image, const std::string &tag) const {
        const std::string p = Path(tag);
        std::string cmd = std::string(WSPR_SIM_PATH) + " run " + args +
                          (on_image ? " --image " + image_ : std::string()) + " --console-log " +
                          p + ".console --rf-log " + p + ".rf --i2c-log " + p + ".i2c --pin-log " +
                          p + ".pins >/dev/null 2>" + p + ".err";
        const int raw = std::system(cmd.c_str());
        Outcome r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1,
                  Read(tag + ".console"),
                  Read(tag + ".err"),
                  Read(tag + ".i2c"),
                  {},
                  {},
                  {}};
        std::istringstream rf(Read(tag + ".rf"));
        std::string line;
        std::getline(rf, line); // header
        while (std::getline(rf, line)) {
            Outcome::Change c{};
            if (std::sscanf(line.c_str(), "%lu,%d,%lu", &c.t_us, &c.on, &c.freq_uhz) == 3) {
                r.rf.push_back(c);
            }
        }
        std::istringstream pins(Read(tag + ".pins"));
        std::getline(pins, line);
        int code = 0;
        while (std::getline(pins, line)) {
            unsigned long long t = 0;
            int pin = 0, level = 0;
            if (std::sscanf(line.c_str(), "%llu,PB%d,%d", &t, &pin, &level) == 3 && pin >= 12) {
                if (pin == 15) {
                    r.lines.push_back({t * 1000, lines::Event::AMP, level});
                } else {
                    const int bit = 1 << (pin - 12);
                    code = level != 0 ? code | bit : code & ~bit;
                    r.lines.push_back({t * 1000, lines::Event::CODE, code});
                }
            }
        }
        std::istringstream i2c(r.i2c);
        std::getline(i2c, line);
        while (std::getline(i2c, line)) {
            r.writes.push_back(line.substr(line.find(',') + 1));
        }
        return r;
    }

    // Runs both, checks they agree, and gives the image's run for further checks.
    Outcome Compare(const std::string &args, const std::string &tag = "run") {
        const Outcome pc = Sim(args, false, tag + "-pc");
        const Outcome img = Sim(args, true, tag + "-image");
        EXPECT_EQ(img.status, pc.status) << img.err;
        EXPECT_EQ(img.status == 5, false) << "the emulated chip found problems:\n" << img.err;
        EXPECT_EQ(img.console, pc.console);
        // The image's log is what the bus carried; the PC build's also has the transfers the HAL
        // refused before the bus (busy: 2, time-out: 3), which nothing on the bus can see.
        std::vector<std::string> on_bus;
        for (const std::string &w : pc.writes) {
            if (w.back() != '2' && w.back() != '3') {
                on_bus.push_back(w);
            }
        }
        EXPECT_EQ(img.writes, on_bus);
        EXPECT_EQ(img.rf.size(), pc.rf.size());
        uint64_t worst = 0;
        for (size_t i = 0; i < std::min(img.rf.size(), pc.rf.size()); ++i) {
            EXPECT_EQ(img.rf[i].on, pc.rf[i].on) << "change " << i;
            EXPECT_EQ(img.rf[i].freq_uhz, pc.rf[i].freq_uhz) << "change " << i;
            const uint64_t d = img.rf[i].t_us > pc.rf[i].t_us ? img.rf[i].t_us - pc.rf[i].t_us
                                                              : pc.rf[i].t_us - img.rf[i].t_us;
            worst = std::max(worst, d);
        }
        EXPECT_LE(worst, ONE_MS) << "the image's tones drift from the PC build's";
        std::printf("%s: %zu console bytes, %zu CLK1 changes, %zu I2C writes; tones at most %lu us "
                    "apart\n",
                    tag.c_str(), img.console.size(), img.rf.size(), img.writes.size(), worst);
        return img;
    }

    std::string image_;
};

// The I2C writes of a run's log (time in us: when each ended), with their sizes.
struct Written {
    uint64_t end_us;
    size_t bytes; // register and data
};
std::vector<Written> WritesOf(const std::string &log) {
    std::vector<Written> writes;
    std::istringstream in(log);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        unsigned long long t = 0;
        unsigned reg = 0;
        char data[64] = {};
        if (std::sscanf(line.c_str(), "%llu,%*x,%u,%63[0-9a-f]", &t, &reg, data) >= 2) {
            writes.push_back({t, 1 + std::strlen(data) / 2});
        }
    }
    return writes;
}

// A typed frame's writes after `typed_us`: its start (those within 10 ms of the first, which comes
// after the band lines' lead), its first tone change, and, from `stop_us` on, the stop.
std::vector<Written> FrameWrites(const std::string &log, uint64_t typed_us, uint64_t stop_us) {
    std::vector<Written> found;
    uint64_t first = UINT64_MAX;
    bool tone_change = false;
    for (const Written &w : WritesOf(log)) {
        if (w.end_us < typed_us) {
            continue;
        }
        first = std::min(first, w.end_us);
        if (w.end_us < first + 10000 || w.end_us >= stop_us || !std::exchange(tone_change, true)) {
            found.push_back(w);
        }
    }
    return found;
}

// A moment of a run in the form --fault-at and --hang-at take.
std::string Millis(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000));
    return text;
}

// The first change of CLK1 to off at or after t_us, and whether CLK1 was on at t_us.
uint64_t OffFrom(const Outcome &r, uint64_t t_us, bool &was_on) {
    was_on = false;
    for (const Outcome::Change &c : r.rf) {
        if (c.t_us <= t_us) {
            was_on = c.on != 0;
        } else if (c.on == 0) {
            return c.t_us;
        }
    }
    return UINT64_MAX;
}

// ---- The short set (in make test) ---------------------------------------------------------------

TEST_F(Image, ShortBannerAndFirstSymbols) {
    const Outcome r = Compare("--gnss-clock 11:59:55 --until 9000");
    EXPECT_NE(r.console.find("Si5351 init status: 0"), std::string::npos);
    // The frame began at 12:00:00 (five seconds in) and the first symbols went out.
    ASSERT_GE(r.rf.size(), 4u);
    EXPECT_EQ(r.rf[0].on, 1);
}

// FST4W-120 on 2200 m: the frame 1.0 s into the period (10:02:00 UTC, the receiver's clock 0.1 s
// late), its first symbols on the tones of the FST4W frame through the R divider, the same on the
// image as on the PC build. Prints how much later the image's first tone comes than the PC
// build's: the image's time to plan and encode the frame.
TEST_F(Image, ShortFst4wFrameOn2200m) {
    Write("fst4w.txt", "100 type set mode fst4w-120\n300 type set freq 137500\n");
    const Outcome r =
        Compare("--gnss-clock 10:01:50 --until 24000 --script " + Path("fst4w.txt"), "fst4w");
    EXPECT_NE(r.console.find("TX start fst4w-120 QZ5RTV OM85 10dBm, 160 symbols"),
              std::string::npos)
        << r.console;
    ASSERT_GE(r.rf.size(), 8u);
    EXPECT_EQ(r.rf[0].on, 1);
    EXPECT_GE(r.rf[0].t_us, 11101000u);
    EXPECT_LT(r.rf[0].t_us, 11103000u);
    WsprMessage m{};
    m.type = WSPR_MSG_TYPE1;
    std::strcpy(m.call, WSPR_DEFAULT_CALLSIGN);
    std::strcpy(m.locator, WSPR_DEFAULT_LOCATOR);
    m.power_dbm = WSPR_DEFAULT_POWER_DBM;
    uint8_t symbols[FST4W_SYMBOL_COUNT];
    ASSERT_TRUE(FST4W_EncodeMessage(&m, symbols));
    const uint64_t spacing = TxMode_Info(TX_MODE_FST4W_120).spacing_uhz;
    std::vector<unsigned> heard, sent;
    for (const Outcome::Change &c : r.rf) {
        heard.push_back(
            static_cast<unsigned>((c.freq_uhz - 137500000000ULL + spacing / 2) / spacing));
    }
    for (unsigned k = 0; k < FST4W_SYMBOL_COUNT && sent.size() < heard.size(); ++k) {
        if (k == 0 || symbols[k] != symbols[k - 1]) {
            sent.push_back(symbols[k]);
        }
    }
    EXPECT_EQ(heard, sent);
    const Outcome pc = Sim("--gnss-clock 10:01:50 --until 12000 --script " + Path("fst4w.txt"),
                           false, "fst4w-pc-again");
    ASSERT_FALSE(pc.rf.empty());
    std::printf("fst4w: the image's first tone %lu us after the PC build's\n",
                r.rf[0].t_us - pc.rf[0].t_us);
}

// The image may grow past sectors 0-1 into sector 4 (the settings sectors stay between): the same
// firmware linked with a smaller first region, so that part of its code and constants runs from
// 0x08010000, behaves as the PC build does, saved settings included.
// A compound callsign with a 6-character locator: the type 2 frame, then the type 3 frame, each
// starting on the tones of its message, the same on the image as on the PC build.
TEST_F(Image, ShortCompoundCallsignFramesInTurn) {
    Write("turn.txt", "100 type set call PJ4/QZ5RTV\n300 type set grid OM85AB\n500 type tx\n"
                      "4000 type stop\n4500 type tx\n");
    const Outcome r = Compare("--until 8000 --script " + Path("turn.txt"), "turn");
    const size_t two = r.console.find("TX start PJ4/QZ5RTV 10dBm, 162 symbols");
    const size_t three = r.console.find("TX start <PJ4/QZ5RTV> OM85AB 10dBm, 162 symbols");
    ASSERT_NE(two, std::string::npos) << r.console;
    ASSERT_NE(three, std::string::npos) << r.console;
    EXPECT_LT(two, three);
    // The tones of each frame's first symbols (the changes while CLK1 is on, from its switch-on).
    std::vector<std::vector<unsigned>> frames;
    for (const Outcome::Change &c : r.rf) {
        if (c.on == 0) {
            continue;
        }
        if (frames.empty() || (&c != &r.rf.front() && (&c)[-1].on == 0)) {
            frames.emplace_back();
        }
        frames.back().push_back(static_cast<unsigned>(
            (c.freq_uhz - WSPR_DEFAULT_FREQ_HZ * 1000000ULL + WSPR_TONE_SPACING_UHZ / 2) /
            WSPR_TONE_SPACING_UHZ));
    }
    ASSERT_EQ(frames.size(), 2u);
    const WsprMsgType types[2] = {WSPR_MSG_TYPE2, WSPR_MSG_TYPE3};
    for (size_t f = 0; f < 2; ++f) {
        WsprMessage m = {};
        m.type = types[f];
        std::strcpy(m.call, "PJ4/QZ5RTV");
        std::strcpy(m.locator, f == 0 ? "" : "OM85AB");
        m.power_dbm = 10;
        uint8_t symbols[WSPR_SYMBOL_COUNT];
        ASSERT_TRUE(WSPR_EncodeMessage(&m, symbols));
        // A change is sent only when the tone changes: the symbols with repeats removed.
        std::vector<unsigned> expected = {symbols[0]};
        for (unsigned k = 1; expected.size() < frames[f].size() && k < WSPR_SYMBOL_COUNT; ++k) {
            if (symbols[k] != symbols[k - 1]) {
                expected.push_back(symbols[k]);
            }
        }
        ASSERT_GE(frames[f].size(), 4u);
        EXPECT_EQ(frames[f], expected) << "frame " << f + 1;
    }
}

TEST_F(Image, ShortImageRunningFromSectorFour) {
    const char *split = std::getenv("WSPR_IMAGE_SPLIT");
    ASSERT_NE(split, nullptr) << "set WSPR_IMAGE_SPLIT (make image-test does)";
    image_ = split;
    Write("save.txt", "300 type set call K1ABC\n500 type save\n");
    const Outcome r =
        Compare("--gnss-clock 11:59:55 --until 9000 --script " + Path("save.txt"), "split");
    EXPECT_NE(r.console.find("TX start K1ABC OM85 10dBm"), std::string::npos);
    EXPECT_NE(r.console.find("save\r\nok\r\n"), std::string::npos);
}

// ---- The whole set (make image-test) ------------------------------------------------------------

TEST_F(Image, WholeFrameWithCleanStartAndEnd) {
    const Outcome r = Compare("--gnss-clock 11:59:55 --until 125000");
    // Every symbol (a change only where the tone changes) and CLK1 off at the end.
    ASSERT_GE(r.rf.size(), 2u);
    EXPECT_EQ(r.rf.front().on, 1);
    EXPECT_EQ(r.rf.back().on, 0);
    const uint64_t frame_us = r.rf.back().t_us - r.rf.front().t_us;
    EXPECT_NEAR(static_cast<double>(frame_us),
                static_cast<double>(WSPR_SYMBOL_COUNT * WSPR_SYMBOL_PERIOD_US), 2000.0);
    EXPECT_NE(r.console.find("TX complete, CLK1 disabled"), std::string::npos);
}

// The chip model takes each register as its byte arrives (and, asked to, a transfer at its STOP):
// on 20 m (the base where a change from tone 3 to 0 once passed 549 kHz low) and 2 m, every state
// CLK1 passes through in the image's frame is one of the frame's four tones, and the byte-wise
// chip sees the same states as the one that takes a transfer whole.
TEST_F(Image, ToneChangesPassThroughNoOtherFrequency) {
    for (const uint64_t base : {14097074ULL, 144490500ULL}) {
        SCOPED_TRACE(base);
        const std::string tag = std::to_string(base);
        Write(tag + ".txt", "300 type set freq " + std::to_string(base) + "\n");
        const std::string args =
            "--gnss-clock 11:59:55 --until 12000 --script " + Path(tag + ".txt");
        const Outcome bytewise = Compare(args + " --si5351-latch byte", tag + "-byte");
        const Outcome whole = Sim(args + " --si5351-latch stop", true, tag + "-stop");
        ASSERT_GT(bytewise.rf.size(), 5u);
        for (const Outcome::Change &c : bytewise.rf) {
            if (c.on == 0) {
                continue;
            }
            bool a_tone = false;
            for (unsigned tone = 0; tone < WSPR_TONE_COUNT; ++tone) {
                a_tone = a_tone || tones::Matches(c.freq_uhz, base, tone);
            }
            EXPECT_TRUE(a_tone) << c.t_us << " us: " << c.freq_uhz << " uHz";
        }
        ASSERT_EQ(whole.rf.size(), bytewise.rf.size());
        for (size_t i = 0; i < whole.rf.size(); ++i) {
            EXPECT_EQ(whole.rf[i].freq_uhz, bytewise.rf[i].freq_uhz) << "change " << i;
        }
    }
}

// The band and amplifier lines on the image, as on the PC build: a frame by hand on the first
// entry ended early by stop, then the scheduled frame on the next entry to its end, with an offset
// the chip's unique ID draws (the same on both MCUs for the same ID).
lines::Margins LinesOf(const Outcome &r) {
    std::vector<lines::Event> all = r.lines;
    for (const Outcome::Change &c : r.rf) {
        all.push_back({c.t_us * 1000, lines::Event::CLK1, c.on});
    }
    return lines::Check(all);
}

// The image's start-up (its clock set-up in instructions) takes a millisecond more than the PC
// build's before the band lines are first driven.
void ExpectSameLines(const Outcome &img, const Outcome &pc) {
    ASSERT_EQ(img.lines.size(), pc.lines.size());
    for (size_t i = 0; i < img.lines.size(); ++i) {
        EXPECT_EQ(img.lines[i].kind, pc.lines[i].kind) << "change " << i;
        EXPECT_EQ(img.lines[i].value, pc.lines[i].value) << "change " << i;
        const uint64_t a = img.lines[i].t_ns, b = pc.lines[i].t_ns;
        EXPECT_LE(a > b ? a - b : b - a, 2 * ONE_MS * 1000) << "change " << i;
    }
}

TEST_F(Image, BandAndAmplifierLinesAroundEveryFrame) {
    Write("s.txt", "100 type set bands 40m:5 20m:2\n"
                   "200 type set offset 100\n"
                   "300 type tx\n"
                   "3000 type stop\n"
                   "3500 type time 12:01:58\n");
    const std::string args =
        "--uid 00112233445566778899AABB --until 118000 --script " + Path("s.txt");
    const Outcome img = Compare(args, "lines");
    const Outcome pc = Sim(args, false, "lines-pc");
    ExpectSameLines(img, pc);
    const lines::Margins m = LinesOf(img);
    for (const std::string &b : m.broken) {
        ADD_FAILURE() << b;
    }
    EXPECT_EQ(m.carriers, 2u);
    EXPECT_EQ(m.amp_off_with_clk1_on, 0u);
    EXPECT_NE(img.console.find("code 5\r\n"), std::string::npos) << img.console;
    EXPECT_NE(img.console.find("code 2\r\n"), std::string::npos) << img.console;
    ASSERT_FALSE(img.lines.empty());
    EXPECT_EQ(img.lines.back().kind, lines::Event::AMP);
    EXPECT_EQ(img.lines.back().value, 0);
}

// A hard fault mid-frame: CLK1 off from the fault path, the amplifier off at the watchdog's reset
// (the pull-down, then the start-up), never the other way round.
TEST_F(Image, AmplifierOffAfterAFaultMidFrame) {
    const std::string args = "--gnss-clock 11:59:55 --fault-at 7000 --until 12000";
    const Outcome img = Compare(args, "amp-fault");
    const Outcome pc = Sim(args, false, "amp-fault-pc");
    ExpectSameLines(img, pc);
    const lines::Margins m = LinesOf(img);
    for (const std::string &b : m.broken) {
        ADD_FAILURE() << b;
    }
    EXPECT_EQ(m.amp_off_with_clk1_on, 0u);
    ASSERT_FALSE(img.lines.empty());
    EXPECT_EQ(img.lines.back().value, 0);
}

// What a receiver hears of the image's frame decodes with the standard decoder (wsprd, from
// the wsjtx package that make test installs), as the PC build's does.
TEST_F(Image, RecordingOfTheImagesFrameDecodes) {
    ASSERT_EQ(std::system("command -v wsprd >/dev/null"), 0) << "wsprd not found";
    const std::string wav = Path("260101_1200.wav");
    const Outcome r = Sim("--gnss-clock 11:59:55 --until 125000 --wav " + wav, true, "wav");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string decoded = Path("decoded.txt");
    ASSERT_EQ(std::system(("cd " + dir_.string() + " && wsprd -f 14.095570 " + wav + " >" +
                           decoded + " 2>&1")
                              .c_str()),
              0);
    EXPECT_NE(Read("decoded.txt").find("QZ5RTV OM85 10"), std::string::npos) << Read("decoded.txt");
}

// With the receiver's pulse on PA1 and CLK0 on TIM2's ETR: the image counts CLK0 as the PC build
// does, locks on the same crystal 131 ppm off the configured one, starts its frame on the pulse
// and sends it on frequency; the crystal drifting and the pulses cut for a while in the frame, it
// holds over and comes back as the PC build does.
// (The crystal moving, CLK1's frequency depends on the microsecond of each write: the RF logs
// agree to within 1 ppb rather than exactly.)
TEST_F(Image, PulsePerSecondLocksAndTrims) {
    const std::string args = "--until 75000 --gnss-clock 11:59:00 --pps --pps-jitter-ns 50 "
                             "--xtal-drift 0:25006550,75000:25006553.125 --pps-gap 64000:68000";
    const Outcome pc = Sim(args, false, "pps-pc");
    const Outcome r = Sim(args, true, "pps-image");
    EXPECT_EQ(r.status, pc.status) << r.err;
    EXPECT_NE(r.status, 5) << r.err;
    EXPECT_EQ(r.console, pc.console);
    EXPECT_EQ(r.writes, pc.writes);
    EXPECT_NE(r.console.find("PPS locked, crystal 2500655"), std::string::npos) << r.console;
    EXPECT_NE(r.console.find("PPS lost\r\n"), std::string::npos) << r.console;
    EXPECT_NE(r.console.find("PPS back\r\n"), std::string::npos) << r.console;
    ASSERT_FALSE(r.rf.empty());
    EXPECT_LT(r.rf.front().t_us, 60000000 + ONE_MS);
    // Every state that lasted a millisecond within 140 mHz (10 ppb) of one of the four tones: the
    // crystal ramps 0.1 ppm a minute from the start, the filter follows it from the lock on.
    for (size_t i = 0; i + 1 < r.rf.size(); ++i) {
        if (r.rf[i].on == 0 || r.rf[i + 1].t_us - r.rf[i].t_us < ONE_MS) {
            continue;
        }
        bool near = false;
        for (unsigned symbol = 0; symbol < 4; ++symbol) {
            near = near || tones::Near(r.rf[i].freq_uhz,
                                       tones::IdealUhz(WSPR_DEFAULT_FREQ_HZ, symbol), 140000);
        }
        EXPECT_TRUE(near) << r.rf[i].t_us << " us: " << r.rf[i].freq_uhz;
    }
}

TEST_F(Image, GnssCaptureSetsTimeAndTheEvenMinuteStartsAFrame) {
    const std::string capture =
        std::string(WSPR_TEST_DATA_DIR) + "/nmea/ublox-zed-f9p_hpg1.11.nmea";
    const Outcome r = Compare("--gnss " + capture + " --until 130000", "capture");
    EXPECT_NE(r.console.find("from GNSS"), std::string::npos);
}

TEST_F(Image, KeyStartsAFrame) {
    Write("key.txt", "2000 key down\n2100 key up\n");
    const Outcome r = Compare("--script " + Path("key.txt") + " --until 12000", "key");
    ASSERT_FALSE(r.rf.empty());
    EXPECT_EQ(r.rf.front().on, 1);
}

TEST_F(Image, AbsentSi5351IsAnErrorRetried) {
    const Outcome r = Compare("--no-si5351 --until 35000", "absent");
    EXPECT_NE(r.console.find("Si5351 init status: "), std::string::npos);
    EXPECT_TRUE(r.rf.empty());
}

// A main loop that stops in a frame: the tick switches CLK1 off MAIN_LOOP_STALL_MS after the last
// pass, then the watchdog resets the board; on both alike.
TEST_F(Image, StalledMainLoopMidFrame) {
    Write("frame.txt", "1000 type tx\n");
    const Outcome r =
        Compare("--script " + Path("frame.txt") + " --hang-at 5000 --until 8000", "stall");
    bool was_on = false;
    const uint64_t off = OffFrom(r, 5000000, was_on);
    EXPECT_TRUE(was_on);
    EXPECT_LE(off, 5000000 + 150 * ONE_MS);
    EXPECT_NE(r.console.find("Reset: watchdog\r\n"), std::string::npos);
}

// The main loop stops in the middle of its own tone change's transfer (I2C1 busy, waiting for the
// next byte): the tick's stop takes the bus all the same, CLK1 off within 150 ms.
TEST_F(Image, StallInTheMiddleOfATransfer) {
    Write("frame.txt", "1000 type tx\n");
    const std::string script = "--script " + Path("frame.txt");
    const Outcome ref = Sim(script + " --until 2000", true, "ref");
    ASSERT_EQ(ref.status, 0) << ref.err;
    const std::vector<Written> frame = FrameWrites(ref.i2c, 1000000, UINT64_MAX);
    ASSERT_GE(frame.size(), 2u);
    const Written change = frame.back();
    for (uint64_t at = change.end_us - 200; at < change.end_us; at += 50) {
        const Outcome r =
            Sim(script + " --hang-at " + Millis(at) + " --until " + std::to_string(at / 1000 + 300),
                true, "stall");
        EXPECT_EQ(r.status, 0) << "stall at " << at << " us: " << r.err;
        bool was_on = false;
        const uint64_t off = OffFrom(r, at, was_on);
        EXPECT_TRUE(was_on) << at;
        EXPECT_LE(off, at + 150 * ONE_MS) << "stall at " << at << " us";
        ASSERT_FALSE(r.rf.empty());
        EXPECT_EQ(r.rf.back().on, 0) << "stall at " << at << " us";
    }
}

TEST_F(Image, WatchdogResetsAHungMainLoop) {
    const Outcome r = Compare("--hang-at 3000 --until 9000", "hang");
    EXPECT_NE(r.console.find("Reset: watchdog\r\n"), std::string::npos);
}

// A hard fault wherever it lands, in the middle of an I2C transfer too, which leaves I2C1 busy,
// with the tick standing still in the fault handler: CLK1 off within a millisecond. Every 50 us
// (20 us over a tone change's one register) over the transfers of a typed frame's start, its
// first tone change and a typed stop, each run checked on its own (the PC build's transfers lie
// some microseconds elsewhere, so the same moment cuts them elsewhere;
// Watchdog.HardFaultDuringAnyTransferSwitchesOffWithinAMillisecond sweeps them on the PC build).
TEST_F(Image, HardFaultDuringAnyTransferSwitchesOffWithinAMillisecond) {
    Write("frame.txt", "1000 type tx\n2000 type stop\n");
    const std::string script = "--script " + Path("frame.txt");
    const Outcome ref = Sim(script + " --until 2100", true, "ref");
    ASSERT_EQ(ref.status, 0) << ref.err;
    const std::vector<Written> transfers = FrameWrites(ref.i2c, 1000000, 2000000);
    ASSERT_EQ(transfers.size(), 8u); // six for the start, one tone change, the stop
    uint64_t worst_us = 0;
    size_t runs = 0, cut = 0;
    for (const Written &w : transfers) {
        const uint64_t from_us = w.end_us - 30 - 23 * w.bytes; // START, address, bytes, STOP
        const uint64_t step = w.bytes <= 3 ? 20 : 50;          // a tone change is one register
        for (uint64_t at = from_us; at <= w.end_us + 25; at += step) {
            const Outcome r = Sim(script + " --fault-at " + Millis(at) + " --until " +
                                      std::to_string(at / 1000 + 10),
                                  true, "sweep");
            ++runs;
            EXPECT_EQ(r.status, 0) << "fault at " << at << " us: " << r.err;
            cut += r.i2c.find("\n" + std::to_string(at) + ",") != std::string::npos ? 1 : 0;
            bool was_on = false;
            const uint64_t off = OffFrom(r, at, was_on);
            if (was_on || off != UINT64_MAX) {
                ASSERT_NE(off, UINT64_MAX) << "fault at " << at << " us";
                EXPECT_LE(off, at + ONE_MS) << "fault at " << at << " us";
                worst_us = std::max(worst_us, off - at);
            }
            EXPECT_TRUE(r.rf.empty() || r.rf.back().on == 0) << "fault at " << at << " us";
        }
    }
    EXPECT_GE(cut, transfers.size()) << "the faults fell between the transfers";
    std::printf("image: %zu faults over the transfers (%zu cut one): CLK1 off at most %lu us "
                "after one\n",
                runs, cut, worst_us);
}

TEST_F(Image, HardFaultSwitchesOffAndResets) {
    const Outcome r = Compare("--gnss-clock 11:59:55 --fault-at 7000 --until 12000", "fault");
    EXPECT_NE(r.console.find("Reset: watchdog\r\n"), std::string::npos);
    ASSERT_FALSE(r.rf.empty());
    EXPECT_EQ(r.rf.back().on, 0);
}

// An interrupt without a handler of its own goes to Default_Handler, which switches CLK1 off in
// the middle of a frame and waits for the watchdog as the fault handlers do.
TEST_F(Image, UnhandledInterruptSwitchesOffAndResets) {
    const Outcome r = Compare("--gnss-clock 11:59:55 --stray-irq-at 7000 --until 12000", "stray");
    bool was_on = false;
    const uint64_t off = OffFrom(r, 7000 * ONE_MS, was_on);
    EXPECT_TRUE(was_on);
    EXPECT_LE(off, 7001 * ONE_MS);
    EXPECT_NE(r.console.find("Reset: watchdog\r\n"), std::string::npos);
}

// The image waits for the Si5351's SYS_INIT to clear before its first write, and takes a flag
// that never clears for a Si5351 that failed to start (HAL_TIMEOUT), writing nothing to it.
TEST_F(Image, FirstWriteWaitsForTheSi5351ToInitialise) {
    const Outcome held = Compare("--si5351-sys-init 30 --until 300", "sys-init");
    const std::vector<Written> writes = WritesOf(held.i2c);
    ASSERT_FALSE(writes.empty());
    EXPECT_GE(writes[0].end_us, 30 * ONE_MS);
    EXPECT_LT(writes[0].end_us, 32 * ONE_MS);
    const Outcome never = Compare("--si5351-sys-init never --until 300", "sys-init-never");
    EXPECT_NE(never.console.find("Si5351 init status: 3\r\n"), std::string::npos);
    EXPECT_TRUE(WritesOf(never.i2c).empty());
}

// The clock is set to a fix's time as of the moment its sentence began (100 ms into the second
// here): the even minute's frame starts as soon after that as its set-up takes.
TEST_F(Image, GnssTimeCountsFromTheSentencesStart) {
    const Outcome r = Compare("--gnss-clock 12:01:55 --until 6000", "gnss-start");
    const auto on =
        std::find_if(r.rf.begin(), r.rf.end(), [](const Outcome::Change &c) { return c.on != 0; });
    ASSERT_NE(on, r.rf.end());
    EXPECT_GE(on->t_us, 5100 * ONE_MS);
    EXPECT_LT(on->t_us, 5105 * ONE_MS);
    std::printf("image: CLK1 on %.3f ms after the sentence for the even minute began\n",
                (on->t_us - 5100 * ONE_MS) / 1e3);
}

// Faults early in the start-up: before the watchdog runs (Error_Handler starts it, at 8.2 s), and
// while its first update is carried into the LSI's domain. Each ends in a watchdog reset that the
// banner names, and the fault path uses the watchdog as the chip allows.
TEST_F(Image, FaultsInTheStartUp) {
    for (const char *at : {"1", "1.1"}) {
        const Outcome r = Sim(std::string("--until 10000 --fault-at ") + at, true, "early");
        EXPECT_EQ(r.status, 0) << at << ": " << r.err;
        EXPECT_NE(r.console.find("\r\nReset: watchdog\r\n"), std::string::npos)
            << at << ": " << r.console;
    }
}

// Console output never holds the main loop on the chip either: help typed over and over during a
// frame, the console busy all the time (each reply is about 105 ms of output), delays no tone
// change by more than 2 ms. (Typed faster, the input would overflow the receive ring, and which
// bytes are lost depends on timing the two MCUs do not share.)
TEST_F(Image, HelpFloodDuringAFrameDelaysNoTone) {
    std::string script = "100 type tx\n";
    for (int ms = 2000; ms < 12000; ms += 110) {
        script += std::to_string(ms) + " type help\n";
    }
    Write("flood.txt", script);
    const Outcome r = Compare("--script " + Path("flood.txt") + " --until 14000", "flood");
    ASSERT_GE(r.rf.size(), 10u);
    const uint64_t t0 = r.rf.front().t_us;
    uint64_t worst = 0;
    for (const Outcome::Change &c : r.rf) {
        const uint64_t since = c.t_us - t0;
        const uint64_t symbol = (since + WSPR_SYMBOL_PERIOD_US / 2) / WSPR_SYMBOL_PERIOD_US;
        const uint64_t boundary = symbol * WSPR_SYMBOL_PERIOD_US;
        worst = std::max(worst, since > boundary ? since - boundary : boundary - since);
    }
    EXPECT_LE(worst, 2 * ONE_MS);
    std::printf("help flood on the image: largest tone change %lu us from its boundary\n", worst);
}

TEST_F(Image, HeldSdaIsClockedFree) {
    Compare("--sda-stuck-at 500 --gnss-clock 11:59:58 --until 6000", "sda");
}

// SDA held from power-up: both start-ups clock it free and find the Si5351; the 12:00 frame.
TEST_F(Image, SdaHeldFromPowerUp) {
    const Outcome r = Compare("--sda-stuck-at 0 --gnss-clock 11:59:58 --until 8000", "sda0");
    EXPECT_NE(r.console.find("Si5351 init status: 0"), std::string::npos) << r.console;
    ASSERT_FALSE(r.rf.empty());
    EXPECT_EQ(r.rf.front().on, 1);
}

TEST_F(Image, SaveSurvivesAReset) {
    Write("save.txt", "300 type set call K1ABC\n400 type set freq 7040100\n500 type save\n");
    for (const char *mcu : {"pc", "image"}) {
        const bool on_image = std::string(mcu) == "image";
        const std::string flash = Path(std::string(mcu) + ".flash");
        const Outcome first =
            Sim("--flash " + flash + " --script " + Path("save.txt") + " --until 1000", on_image,
                std::string(mcu) + "-first");
        EXPECT_EQ(first.status, 0) << first.err;
        const Outcome second =
            Sim("--flash " + flash + " --until 1000", on_image, std::string(mcu) + "-second");
        EXPECT_EQ(second.status, 0) << second.err;
        EXPECT_NE(second.console.find("Settings: saved\r\nCall=K1ABC"), std::string::npos) << mcu;
        EXPECT_NE(second.console.find("Base=7040100 Hz"), std::string::npos) << mcu;
    }
    EXPECT_EQ(Read("pc-first.console"), Read("image-first.console"));
    EXPECT_EQ(Read("pc-second.console"), Read("image-second.console"));
    // The same records, byte for byte, in the two flashes.
    EXPECT_EQ(Read("pc.flash"), Read("image.flash"));
}

// "stop" from ERROR starts the Si5351 again and says how it went.
TEST_F(Image, StopFromErrorStartsTheSi5351Again) {
    Write("stop.txt", "1000 type stop\n");
    const Outcome r = Compare("--no-si5351 --script " + Path("stop.txt") + " --until 2000", "stop");
    EXPECT_NE(r.console.find("stop\r\nSi5351 init status: "), std::string::npos) << r.console;
}

// A frequency set during a frame waits for the next frame: every tone of this one is on the
// frequency it started with.
TEST_F(Image, FrequencySetDuringAFrameWaitsForTheNext) {
    Write("freq.txt", "40000 type set freq 7040100\n");
    const Outcome r =
        Compare("--gnss-clock 11:59:55 --script " + Path("freq.txt") + " --until 118000", "freq");
    ASSERT_GE(r.rf.size(), 2u);
    for (const Outcome::Change &c : r.rf) {
        if (c.on != 0) {
            EXPECT_GE(c.freq_uhz, WSPR_DEFAULT_FREQ_HZ * 1000000ULL - 1000000ULL) << c.t_us;
            EXPECT_LE(c.freq_uhz, WSPR_DEFAULT_FREQ_HZ * 1000000ULL + 6000000ULL) << c.t_us;
        }
    }
}

// A 10 Hz receiver: one time line a second; the frame at the even minute, stopped in its first
// second, is not started again by the fixes that follow in that second.
TEST_F(Image, TenGnssFixesASecond) {
    Write("rate.txt", "5500 type stop\n");
    const Outcome r = Compare("--gnss-clock 11:59:55 --gnss-rate 10 --script " + Path("rate.txt") +
                                  " --until 8000",
                              "rate");
    size_t lines = 0;
    for (size_t p = r.console.find("from GNSS"); p != std::string::npos;
         p = r.console.find("from GNSS", p + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 8u) << r.console;
    const size_t start = r.console.find("TX start");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(r.console.find("TX start", start + 1), std::string::npos) << r.console;
}

// Flash with no good record: "defaults" clears it, on the emulated chip's flash as on the PC's.
TEST_F(Image, DefaultsClearsDamagedFlash) {
    Write("defaults.txt", "300 type defaults\n");
    for (const char *mcu : {"pc", "image"}) {
        const bool on_image = std::string(mcu) == "image";
        const std::string flash = Path(std::string(mcu) + "-zeros.flash");
        Write(std::string(mcu) + "-zeros.flash", std::string(32 * 1024, '\0'));
        const Outcome first =
            Sim("--flash " + flash + " --script " + Path("defaults.txt") + " --until 1000",
                on_image, std::string(mcu) + "-damaged");
        EXPECT_EQ(first.status, 0) << first.err;
        EXPECT_NE(first.console.find("Settings: damaged"), std::string::npos) << mcu;
        const Outcome second =
            Sim("--flash " + flash + " --until 1000", on_image, std::string(mcu) + "-cleared");
        EXPECT_EQ(second.status, 0) << second.err;
        EXPECT_EQ(second.console.find("Settings:"), std::string::npos) << mcu;
    }
    EXPECT_EQ(Read("pc-damaged.console"), Read("image-damaged.console"));
    EXPECT_EQ(Read("pc-zeros.flash"), Read("image-zeros.flash"));
}

// A block of settings pasted at the full line rate runs whole; numbers that are not digits alone,
// an over-long line and a line that met a framing error are refused, on the image as on the PC
// build, byte for byte.
TEST_F(Image, PastedSettingsAndRefusedLines) {
    const char *const lines[] = {"set power 37",    "set call K1ABC",    "set freq 7040100",
                                 "set grid FN42",   "set xtal 25001234", "set power 23",
                                 "set call DL2XYZ", "set freq 10140200", "set grid JO62",
                                 "auto off"};
    std::string script;
    for (int k = 0; k < 40; ++k) {
        script += "100 type " + std::string(lines[k % 10]) + "\n";
    }
    script += "3000 type set power 3.7\n3100 type set freq 14097070abc\n"
              "3200 type time +1:+2:+3\n3300 type set power " +
              std::string(29, '0') +
              "30\n3400 noise x\n3410 type set power 37\n"
              "3500 type show\n";
    Write("paste.txt", script);
    const Outcome r = Compare("--script " + Path("paste.txt") + " --until 5000", "paste");
    size_t ok = 0;
    for (size_t at = 0; (at = r.console.find("\r\nok\r\n", at)) != std::string::npos; ++at) {
        ++ok;
    }
    EXPECT_EQ(ok, 40u) << r.console;
    for (const char *refusal :
         {"set power 3.7\r\nerror: power must be 0..60 dBm\r\n",
          "set freq 14097070abc\r\nerror: freq must be 8000..150000000 Hz\r\n",
          "time +1:+2:+3\r\nerror: use time HH:MM:SS\r\n",
          "\r\nerror: line too long, max 39 chars\r\n",
          "set power 37\r\nerror: input lost, line ignored\r\n",
          "Message: DL2XYZ JO62 23dBm\r\nLocator: JO62 (fixed)\r\nFrames: DL2XYZ JO62 23dBm\r\n"
          "Mode: wspr, period 120 s\r\nRF: 10140200 Hz"}) {
        EXPECT_NE(r.console.find(refusal), std::string::npos) << refusal << "\n" << r.console;
    }
}

// Typed while a save erases a flash sector (the CPU stalled), a line overruns the USART: it is
// refused, not glued to the next one, on the image as on the PC build. The flash first fills with
// saves until the next one must erase (10 ms apart: on the image a save that reads a nearly full
// sector holds the main loop up to 8 ms, and faster saves would pile up beyond the receive ring).
TEST_F(Image, LineTypedDuringAnEraseIsRefused) {
    std::string script;
    uint64_t ms = 300;
    for (uint32_t n = 0; n < SETTINGS_RECORDS_PER_SECTOR; ++n, ms += 10) {
        script += std::to_string(ms) + " type save\n";
    }
    script += std::to_string(ms + 500) + " type save\n" + std::to_string(ms + 520) +
              " type show\n" + std::to_string(ms + 3000) + " type show\n";
    Write("erase.txt", script);
    const Outcome r =
        Compare("--script " + Path("erase.txt") + " --until " + std::to_string(ms + 4000), "erase");
    EXPECT_NE(r.console.find("save\r\nok\r\nwspr> s\r\nerror: input lost, line ignored\r\n"
                             "wspr> show\r\n\r\nState: IDLE"),
              std::string::npos)
        << r.console.substr(r.console.size() > 600 ? r.console.size() - 600 : 0);
}

// More than the receive ring holds, pasted at once: only lines typed whole run, the others are
// refused. Which bytes are lost depends on timing the two MCUs do not share, so each is checked on
// its own.
TEST_F(Image, PasteBeyondTheRingRunsOnlyWholeLines) {
    std::string script;
    for (int k = 0; k < 100; ++k) {
        script += k % 2 == 0 ? "100 type set power 37\n" : "100 type set call K1ABC\n";
    }
    Write("flood.txt", script);
    for (const bool on_image : {false, true}) {
        const Outcome r = Sim("--script " + Path("flood.txt") + " --until 8000", on_image,
                              on_image ? "flood-image" : "flood-pc");
        ASSERT_EQ(r.status, 0) << r.err;
        size_t ran = 0, refused = 0;
        for (size_t at = r.console.find("wspr> ", r.console.find("Type help"));
             at != std::string::npos;) {
            const size_t end = r.console.find("wspr> ", at + 6);
            if (end == std::string::npos) {
                break;
            }
            const std::string one = r.console.substr(at + 6, end - at - 6);
            at = end;
            const size_t eol = one.find("\r\n");
            const std::string echo = one.substr(0, eol), reply = one.substr(eol + 2);
            if (reply == "ok\r\n") {
                ++ran;
                EXPECT_TRUE(echo == "set power 37" || echo == "set call K1ABC") << echo;
            } else {
                ++refused;
                EXPECT_EQ(reply, "error: input lost, line ignored\r\n") << echo;
            }
        }
        EXPECT_GE(ran, 45u) << (on_image ? "image" : "pc");
        EXPECT_GT(refused, 0u) << (on_image ? "image" : "pc");
        std::printf("100 lines pasted on the %s: %zu ran, %zu refused\n", on_image ? "image" : "PC",
                    ran, refused);
    }
}

// With automatic frames saved off, the next start-up's banner says so.
TEST_F(Image, BannerTellsAutoOff) {
    Write("auto.txt", "300 type auto off\n400 type save\n");
    for (const char *mcu : {"pc", "image"}) {
        const bool on_image = std::string(mcu) == "image";
        const std::string flash = Path(std::string(mcu) + "-auto.flash");
        const Outcome first =
            Sim("--flash " + flash + " --script " + Path("auto.txt") + " --until 1000", on_image,
                std::string(mcu) + "-auto-first");
        EXPECT_EQ(first.status, 0) << first.err;
        const Outcome second =
            Sim("--flash " + flash + " --until 1000", on_image, std::string(mcu) + "-auto-second");
        EXPECT_EQ(second.status, 0) << second.err;
        EXPECT_NE(second.console.find("\r\nAUTO is off: frames only by tx or the key\r\nwspr> "),
                  std::string::npos)
            << mcu << ": " << second.console;
    }
    EXPECT_EQ(Read("pc-auto-second.console"), Read("image-auto-second.console"));
}

// The faults of the PC build's platform layer cannot act on the image, which brings its own: a run
// that asks for them on the image is refused, not run without them.
TEST_F(Image, PlatformLayerFaultsAreRefused) {
    for (const char *option : {"--si5351-fail 3:busy", "--power-cut-at 9"}) {
        const Outcome r = Sim(std::string(option) + " --until 1000", true, "refused");
        EXPECT_EQ(r.status, 1) << option;
        EXPECT_NE(r.err.find("not with --image"), std::string::npos) << option << ": " << r.err;
        EXPECT_EQ(r.console, "") << option;
    }
}

// A board image the emulated chip could not start from is refused as the other file options
// refuse theirs: a folder, a device, an ELF file with nothing to load (its CPU would fault for ever
// at time 0, whatever --until says).
TEST_F(Image, ImagesThatCannotRunAreRefused) {
    Elf32_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS32;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_EXEC;
    eh.e_machine = EM_ARM;
    eh.e_version = EV_CURRENT;
    eh.e_ehsize = sizeof eh;
    Write("empty.elf", std::string(reinterpret_cast<const char *>(&eh), sizeof eh));
    for (const std::string &image : {dir_.string(), std::string("/dev/zero"), Path("empty.elf")}) {
        const std::string cmd = "timeout 30 " + std::string(WSPR_SIM_PATH) + " run --until 1 " +
                                "--image " + image + " >" + Path("out") + " 2>" + Path("err");
        const int raw = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << image << ": " << Read("err");
        EXPECT_NE(Read("err").find(image), std::string::npos) << Read("err");
        EXPECT_EQ(Read("out"), "") << image;
    }
}

} // namespace
