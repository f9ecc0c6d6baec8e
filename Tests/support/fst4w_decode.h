// The simulator's FST4W recordings through jt9 (Debian's wsjtx): a run of wspr-sim with a GNSS
// receiver 10 s before a period, the whole period recorded, and jt9's decodes of it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fst4w_decode {

struct Output {
    int status;
    std::string text;
};

inline Output Shell(const std::string &command) {
    Output out{-1, ""};
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        out.text.append(buf, n);
    }
    const int status = pclose(p);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

inline std::string TempFolder(const char *name) {
    std::string dir = testing::TempDir() + name + "XXXXXX";
    char *made = mkdtemp(dir.data());
    return made == nullptr ? std::string() : std::string(made);
}

inline long FileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

inline bool HaveJt9() {
    return Shell("command -v jt9").status == 0;
}

// One decode line of jt9: "HHMM SNR DT FREQ ` MESSAGE".
struct Decode {
    int snr = 0;
    double dt = 0;
    int audio_hz = 0;
    std::string message;
};

inline std::vector<Decode> Decodes(const std::string &output) {
    std::vector<Decode> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const size_t tick = line.find('`');
        if (tick == std::string::npos) {
            continue;
        }
        Decode d;
        std::istringstream head(line.substr(0, tick));
        std::string hhmm;
        if (!(head >> hhmm >> d.snr >> d.dt >> d.audio_hz)) {
            continue;
        }
        std::string rest = line.substr(tick + 1);
        rest.erase(0, rest.find_first_not_of(' '));
        rest.erase(rest.find_last_not_of(' ') + 1);
        d.message = rest;
        found.push_back(d);
    }
    return found;
}

// The UTC of a GNSS receiver 10 s before the period that starts at 10:00 + period, the file name
// jt9 reads the period's start from, and the run's end (the period and 2 s more).
struct Slot {
    std::string gnss_clock, wav_name;
    uint64_t until_ms;
};
inline Slot SlotOf(unsigned period_s, unsigned frame = 1) {
    const unsigned start = 10 * 3600 + period_s * frame; // the n-th period after 10:00:00
    const unsigned gnss = 10 * 3600 + period_s - 10;
    char clock[16], name[32];
    std::snprintf(clock, sizeof clock, "%02u:%02u:%02u", gnss / 3600, gnss / 60 % 60, gnss % 60);
    std::snprintf(name, sizeof name, "000101_%02u%02u.wav", start / 3600, start / 60 % 60);
    return {clock, name, (10ULL + static_cast<uint64_t>(period_s) * frame + 2) * 1000};
}

// Records the frame-th frame of a beacon in FST4W with the settings of `script` (the mode is set
// first) into dir, checks the recording is the whole period, and returns the WAV's path.
inline std::string Record(const std::string &dir, unsigned period_s, const std::string &script,
                          const std::string &options = "", unsigned frame = 1) {
    const Slot slot = SlotOf(period_s, frame);
    std::ofstream(dir + "/inputs.txt") << "50 type set mode fst4w-" << period_s << "\n" << script;
    const std::string wav = dir + "/" + slot.wav_name;
    const Output sim =
        Shell(std::string(WSPR_SIM_PATH) + " run --gnss-clock " + slot.gnss_clock + " --script " +
              dir + "/inputs.txt --until " + std::to_string(slot.until_ms) + " --frame " +
              std::to_string(frame) + " --wav " + wav + " " + options);
    EXPECT_EQ(sim.status, 0) << sim.text;
    EXPECT_EQ(FileSize(wav), 44L + static_cast<long>(period_s) * 12000 * 2) << sim.text;
    return wav;
}

// jt9 on the recordings, in one run (in dir: it writes its files there).
inline Output Jt9(const std::string &dir, unsigned period_s, const std::vector<std::string> &wavs) {
    std::string command =
        "cd " + dir + " && jt9 -W -p " + std::to_string(period_s) + " -f 1500 -F 20 -d 3";
    for (const std::string &w : wavs) {
        command += " " + w;
    }
    return Shell(command);
}

// The recording decodes as `message` at 1500 Hz audio (tone 0 at the dial + 1500 Hz), the frame
// 1.0 s into the period as jt9 measures it (the receiver's sentence comes 0.1 s into its second,
// the beacon's clock that much late).
inline void ExpectDecode(const Output &jt9, const std::string &message) {
    ASSERT_EQ(jt9.status, 0) << jt9.text;
    bool found = false;
    for (const Decode &d : Decodes(jt9.text)) {
        if (d.message == message) {
            found = true;
            EXPECT_NEAR(d.audio_hz, 1500, 2) << jt9.text;
            EXPECT_NEAR(d.dt, 0.1, 0.3) << jt9.text;
            std::printf("jt9: %s, SNR %d dB, DT %.1f s, %d Hz\n", message.c_str(), d.snr, d.dt,
                        d.audio_hz);
        }
    }
    EXPECT_TRUE(found) << "jt9 output:\n" << jt9.text;
}

} // namespace fst4w_decode
