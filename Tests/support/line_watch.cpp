#include "line_watch.h"

#include <algorithm>

namespace lines {

namespace {

constexpr uint64_t MS = 1000000;
constexpr uint64_t NONE = UINT64_MAX;

std::string At(uint64_t t_ns, const std::string &what) {
    return "at " + std::to_string(t_ns / 1000) + " us: " + what;
}

} // namespace

Margins Check(std::vector<Event> events, int initial_code) {
    // A reset releases every line in the same instant: the amplifier's going off is taken first.
    std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) {
        const bool a_amp_off = a.kind == Event::AMP && a.value == 0;
        const bool b_amp_off = b.kind == Event::AMP && b.value == 0;
        return a.t_ns < b.t_ns || (a.t_ns == b.t_ns && a_amp_off && !b_amp_off);
    });
    Margins m;
    int code = initial_code;
    bool amp = false, clk1 = false;
    uint64_t code_at = 0, amp_on_at = NONE, clk1_off_at = NONE;
    for (const Event &e : events) {
        switch (e.kind) {
        case Event::CODE:
            if (e.value != code) {
                if (amp || clk1) {
                    m.broken.push_back(
                        At(e.t_ns, "band lines changed with the amplifier or CLK1 on"));
                }
                code = e.value;
                code_at = e.t_ns;
            }
            break;
        case Event::AMP:
            if (e.value != 0 && !amp) {
                amp = true;
                amp_on_at = e.t_ns;
                m.code_to_amp_ns = std::min(m.code_to_amp_ns, e.t_ns - code_at);
                if (e.t_ns - code_at < 50 * MS) {
                    m.broken.push_back(At(e.t_ns, "amplifier on less than 50 ms after the code"));
                }
            } else if (e.value == 0 && amp) {
                amp = false;
                if (clk1) {
                    ++m.amp_off_with_clk1_on;
                } else if (clk1_off_at != NONE) {
                    m.clk1_to_amp_ns = std::min(m.clk1_to_amp_ns, e.t_ns - clk1_off_at);
                    if (e.t_ns - clk1_off_at < 20 * MS) {
                        m.broken.push_back(At(e.t_ns, "amplifier off less than 20 ms after CLK1"));
                    }
                }
            }
            break;
        case Event::CLK1:
            if (e.value != 0 && !clk1) {
                clk1 = true;
                ++m.carriers;
                if (!amp) {
                    m.broken.push_back(At(e.t_ns, "CLK1 on with the amplifier off"));
                } else {
                    m.amp_to_clk1_ns = std::min(m.amp_to_clk1_ns, e.t_ns - amp_on_at);
                    if (e.t_ns - amp_on_at < 20 * MS) {
                        m.broken.push_back(
                            At(e.t_ns, "CLK1 on less than 20 ms after the amplifier"));
                    }
                }
            } else if (e.value == 0 && clk1) {
                clk1 = false;
                clk1_off_at = e.t_ns;
            }
            break;
        }
    }
    return m;
}

} // namespace lines
