// One accelerated run of the beacon on the virtual board with everything a run can produce: the
// console transcript, the RF log, the recording of the first frame (WAV) and its waterfall.
// Shared by `wspr-sim run` and `wspr-sim demo`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "audio_recorder.h"
#include "board.h"
#include "script.h"

namespace sim {

struct I2cFaultSpec {
    uint64_t op;
    HAL_StatusTypeDef status;
    bool from_then_on;
};

// Clock pulses a stuck Si5351 still owes before it lets SDA go: most of a byte.
constexpr int SDA_STUCK_PULSES = 7;

struct RunPlan {
    uint64_t until_ms = 240000;
    BoardConfig board;
    std::vector<I2cFaultSpec> faults;
    std::vector<ScriptEvent> events;
    std::string gnss_bytes;             // on the GNSS line from t = 0
    std::optional<uint32_t> gnss_clock; // a receiver whose UTC second of the day at t = 0 is this
    uint32_t gnss_rate = 1;             // its fixes a second
    FILE *console = stdout;             // raw console output; nullptr for none
    FILE *rf = nullptr;                 // CSV of CLK1 changes
    FILE *i2c = nullptr;                // CSV of I2C memory writes
    FILE *pins = nullptr;               // CSV of every change of an output pin's level
    std::optional<mcu::Uid> uid;        // the chip's unique ID (default: mcu::DEFAULT_UID)
    std::string wav_path;
    std::string waterfall_path;
    std::optional<double> snr_db;
    uint64_t seed = 1;
    std::optional<uint64_t> dial_hz; // default: from the first frame's lowest tone
    uint64_t record_frame = 1;       // the frame recorded: the N-th CLK1 comes on for, from 1
    // Faults on demand, at virtual nanoseconds: the main loop stuck from then on (interrupts go
    // on), a hard fault, an interrupt without a handler, the Si5351 holding SDA low until SCL is
    // clocked.
    std::optional<uint64_t> hang_at_ns, fault_at_ns, stray_irq_at_ns, sda_stuck_at_ns;
    std::vector<uint8_t> flash; // the settings sectors at power-on (empty: erased)
    uint64_t power_cut_at = 0;  // the power fails during this flash operation (from 1; 0: never)
    bool keep_console = false;  // copy the transcript into the report
    bool keep_rf = false;       // copy every CLK1 change into the report
    bool progress = false;      // progress line on stderr for long runs
    bool announce = true;       // a line on stderr about the recording made
};

struct RunReport {
    std::string console;
    uint64_t limit_faults = 0; // register states outside the Si5351's limits while CLK1 was on
    std::optional<WSPR_AppStatus> frame_status; // the beacon's status as the recorded frame began
    std::vector<Si5351Model::Change> rf;
    FrameRecorder frame;
    uint64_t dial_uhz = 0;
    bool recorded = false;      // a WAV or a waterfall was made
    std::vector<uint8_t> flash; // the settings sectors at the end
    size_t image_findings = 0;  // what the emulated chip found wrong (with an image)
};

// False when this build cannot draw waterfalls (no FFTW or libpng where it was built).
bool WaterfallAvailable();

// Runs the plan on the board's MCU (once per process: the board is the process's own). Returns the
// exit status; errors are reported on stderr prefixed with 'who'.
int ExecuteRun(const RunPlan &plan, RunReport &report, const char *who);

} // namespace sim
