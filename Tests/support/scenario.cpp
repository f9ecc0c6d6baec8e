#include "scenario.h"

#include "app_config.h"

namespace scenario {

const std::string k_banner =
    "\r\nTOLVANE Si5351 CLK1\r\n"
    "Call=" WSPR_DEFAULT_CALLSIGN " Locator=" WSPR_DEFAULT_LOCATOR " Power=" +
    std::to_string(WSPR_DEFAULT_POWER_DBM) + "dBm\r\n" + "XTAL=" + std::to_string(SI5351_XTAL_HZ) +
    " Hz Base=" + std::to_string(WSPR_DEFAULT_FREQ_HZ) +
    " Hz ToneSpacing=" + std::to_string(WSPR_TONE_SPACING_UHZ) +
    " uHz\r\n"
    "Si5351 init status: 0\r\n"
    "Type help for commands.\r\n"
    "GNSS: USART2 accepts $GPRMC/$GNRMC time at 9600 baud\r\n"
    "AUTO starts on even UTC minutes after PC or GNSS time is set\r\n"
    "wspr> ";

std::string BannerAfterReset(const std::string &kind) {
    const std::string first = "\r\nTOLVANE Si5351 CLK1\r\n";
    return first + "Reset: " + kind + "\r\n" + k_banner.substr(first.size());
}

void OnFreshBoard(const std::function<void()> &body) {
    body();
    // Whatever the scenario did, the chip never ran outside its limits.
    for (const sim::Si5351Model::Fault &f : sim::Chip().faults()) {
        ADD_FAILURE() << "Si5351 outside its limits at " << f.t_us << " us: " << f.what;
    }
}

// Power-on, up to the banner's prompt on the console (the console sends it after the start-up).
void Boot(const sim::BoardConfig &config) {
    sim::PowerOn(config);
    RunUntilConsole("wspr> ", 0, 200);
}

bool RunUntilConsole(const std::string &text, size_t from, uint64_t limit_ms) {
    uint64_t end = sim::Now() + limit_ms * sim::MS;
    while (sim::Now() < end) {
        if (sim::Console().find(text, from) != std::string::npos) {
            return true;
        }
        sim::RunUntil(std::min(end, sim::Now() + sim::MS));
    }
    return sim::Console().find(text, from) != std::string::npos;
}

// The console sends while the firmware goes on: runs until a millisecond passes without a byte
// (a reply leaves without a gap, about 11 bytes a millisecond).
void RunUntilQuiet(uint64_t limit_ms) {
    const uint64_t end = sim::Now() + limit_ms * sim::MS;
    size_t seen = sim::Console().size();
    do {
        seen = sim::Console().size();
        sim::RunUntil(std::min(end, sim::Now() + sim::MS));
    } while (sim::Console().size() != seen && sim::Now() < end);
}

std::string Command(const std::string &text, const std::string &until, uint64_t limit_ms) {
    if (!sim::Console().ends_with("wspr> ")) {
        RunUntilQuiet(limit_ms); // what an earlier step printed goes out first
    }
    size_t from = sim::Console().size();
    sim::Type(text + "\r");
    // Skip past the echo so that 'until' is looked for in what follows the line.
    RunUntilConsole("\r\n", from, limit_ms);
    size_t after_echo = sim::Console().find("\r\n", from);
    const size_t search_from = after_echo == std::string::npos ? from : after_echo;
    if (RunUntilConsole(until, search_from, limit_ms) && !until.ends_with("wspr> ")) {
        RunUntilQuiet(limit_ms); // the rest of the reply
    }
    return sim::Console().substr(from);
}

std::vector<Tone> TonesFrom(uint64_t t_us) {
    std::vector<Tone> tones;
    for (const sim::Si5351Model::Change &c : sim::Chip().timeline()) {
        if (c.t_us >= t_us && c.on) {
            tones.push_back({c.t_us, c.freq_uhz});
        }
    }
    return tones;
}

uint64_t OffAfter(uint64_t t_us) {
    for (const sim::Si5351Model::Change &c : sim::Chip().timeline()) {
        if (c.t_us >= t_us && !c.on) {
            return c.t_us;
        }
    }
    return UINT64_MAX;
}

uint64_t EmittedAt(uint64_t t_us) {
    uint64_t freq = 0;
    for (const sim::Si5351Model::Change &c : sim::Chip().timeline()) {
        if (c.t_us > t_us) {
            break;
        }
        freq = c.on ? c.freq_uhz : 0;
    }
    return freq;
}

} // namespace scenario

namespace scenario {

uint64_t Tick(uint64_t k) {
    vmcu::TimerRecord r = vmcu::timer_record(TIM3);
    return r.started_ns + k * r.period_ns;
}

uint64_t TickOf(uint64_t t_ns) {
    vmcu::TimerRecord r = vmcu::timer_record(TIM3);
    return t_ns < r.started_ns ? 0 : (t_ns - r.started_ns) / r.period_ns;
}

} // namespace scenario
