// The band lines (PB12..PB14), the amplifier line (PB15) and CLK1 on one time line, and the order
// the beacon keeps around every carrier checked on it: the code changes only while the amplifier
// and CLK1 are off, the code leads the amplifier by 50 ms, the amplifier leads CLK1 by 20 ms, and
// the amplifier goes off at least 20 ms after CLK1. The smallest margins seen are kept as figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lines {

struct Event {
    uint64_t t_ns;
    enum Kind { CODE, AMP, CLK1 } kind;
    int value; // the code 0..7; the amplifier or CLK1 on (1) or off (0)
};

struct Margins {
    uint64_t code_to_amp_ns = UINT64_MAX; // code set -> amplifier on
    uint64_t amp_to_clk1_ns = UINT64_MAX; // amplifier on -> CLK1 on
    uint64_t clk1_to_amp_ns = UINT64_MAX; // CLK1 off -> amplifier off
    std::vector<std::string> broken;      // each rule broken, with its time
    uint64_t amp_off_with_clk1_on = 0;    // amplifier off while CLK1 was on (not counted broken)
    uint64_t carriers = 0;                // CLK1 switched on
};

// Pin changes and the Si5351's on/off changes (t in ns), in any order: sorted here. At equal times
// (a reset releases all pins at once) the amplifier going off comes first, the rest keep their
// given order.
Margins Check(std::vector<Event> events, int initial_code = 0);

} // namespace lines
