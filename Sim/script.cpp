#include "script.h"

#include <sstream>

#include "board.h"
#include "numbers.h"

namespace sim {

bool ParseScript(const std::string &content, std::vector<ScriptEvent> &events, std::string &error) {
    std::istringstream in(content);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        std::string rest = line.substr(start);
        // A '#' after a blank starts a comment, which ends the line (the blanks before it too).
        for (size_t i = 1; i < rest.size(); ++i) {
            if (rest[i] == '#' && (rest[i - 1] == ' ' || rest[i - 1] == '\t')) {
                rest.erase(rest.find_last_not_of(" \t", i - 1) + 1);
                break;
            }
        }
        size_t sp1 = rest.find(' ');
        std::string ms_word = rest.substr(0, sp1);
        uint64_t ms = 0;
        if (!ParseWhole(ms_word, 0, MAX_RUN_MS, ms)) {
            error = "line " + std::to_string(number) + ": expected a time of 0.." +
                    std::to_string(MAX_RUN_MS) + " milliseconds, got '" + ms_word + "'";
            return false;
        }
        std::string after = sp1 == std::string::npos ? "" : rest.substr(sp1 + 1);
        size_t sp2 = after.find(' ');
        std::string verb = after.substr(0, sp2);
        std::string text = sp2 == std::string::npos ? "" : after.substr(sp2 + 1);
        if (verb == "type") {
            events.push_back({ScriptEvent::TYPE, ms, text});
        } else if (verb == "key" && (text == "down" || text == "up")) {
            events.push_back(
                {text == "down" ? ScriptEvent::KEY_DOWN : ScriptEvent::KEY_UP, ms, ""});
        } else if (verb == "gnss" && !text.empty()) {
            events.push_back({ScriptEvent::GNSS, ms, text});
        } else if (verb == "noise" && !text.empty()) {
            events.push_back({ScriptEvent::NOISE, ms, text});
        } else {
            error = "line " + std::to_string(number) +
                    ": expected 'type TEXT', 'key down', 'key up', 'gnss SENTENCE' or 'noise TEXT'";
            return false;
        }
    }
    return true;
}

void ScheduleScript(const std::vector<ScriptEvent> &events) {
    for (const ScriptEvent &e : events) {
        uint64_t t = e.ms * MS;
        switch (e.kind) {
        case ScriptEvent::TYPE:
            TypeAt(t, e.text + "\r");
            break;
        case ScriptEvent::KEY_DOWN:
            KeyAt(t, true);
            break;
        case ScriptEvent::KEY_UP:
            KeyAt(t, false);
            break;
        case ScriptEvent::GNSS:
            GnssAt(t, e.text + "\r\n");
            break;
        case ScriptEvent::NOISE:
            Terminal().Line().send(reinterpret_cast<const uint8_t *>(e.text.data()), e.text.size(),
                                   t, ConsoleTerminal::BAUD / 12);
            break;
        }
    }
}

} // namespace sim
