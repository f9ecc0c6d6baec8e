// Timed inputs for a simulated run, one a line ('#' at the start of a line or after a blank starts
// a comment):
//   MS type TEXT      TEXT and CR typed on the console at 115200 baud from millisecond MS
//   MS key down|up    the transmit key pressed or released at MS
//   MS gnss SENTENCE  the sentence and CR LF on the GNSS line at 9600 baud from MS
//   MS noise TEXT     TEXT on the console line at a twelfth of its baud rate from MS: each byte
//                     reaches the beacon as a framing error
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct ScriptEvent {
    enum Kind { TYPE, KEY_DOWN, KEY_UP, GNSS, NOISE } kind;
    uint64_t ms;
    std::string text;
};

// Parses a script; on an error returns false with a message naming the line.
bool ParseScript(const std::string &content, std::vector<ScriptEvent> &events, std::string &error);
// Hands every event to the board at its time.
void ScheduleScript(const std::vector<ScriptEvent> &events);

} // namespace sim
