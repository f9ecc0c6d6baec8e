// Texts the beacon prints on its console, as the tests and fuzz targets expect them.
#pragma once

#include <cstdint>
#include <string>

#include "app_config.h"

inline constexpr const char *k_console_help =
    "\r\nCommands:\r\n"
    "  help                 Show this help\r\n"
    "  show                 Show current configuration and state\r\n"
    "  set call CALL        Set callsign: CALL, PFX/CALL or CALL/SFX\r\n"
    "  set grid GRID|gnss   Set 4/6-char locator (OM85AB), or from GNSS\r\n"
    "  set power DBM        Set WSPR power dBm, 0..60\r\n"
    "  set freq HZ          Set direct RF output frequency in Hz\r\n"
    "  set xtal HZ          Set Si5351 crystal in Hz (used until PPS lock)\r\n"
    "  save                 Keep settings (and PPS crystal) over a reset\r\n"
    "  defaults             Back to built-in settings\r\n"
    "  time HH:MM:SS        Set UTC time from PC\r\n"
    "  auto on|off          Enable/disable even-minute auto TX\r\n"
    "  tx                   Transmit one WSPR frame now\r\n"
    "  stop                 Stop TX and disable CLK1\r\n\r\n";

// The status report without pulses up to "Time: ", which is followed by "invalid\r\n\r\n" or by
// "valid HH:MM:SS UTC\r\n\r\n"; for a plain callsign and a fixed 4-character locator
// ("CALL GRID 10dBm"), which send one frame, the message itself.
inline std::string ShowHead(const std::string &state, const std::string &message, uint32_t rf_hz,
                            uint32_t xtal_hz, bool auto_on) {
    const size_t grid = message.find(' ') + 1;
    return "\r\nState: " + state + "\r\nMessage: " + message +
           "\r\nLocator: " + message.substr(grid, message.find(' ', grid) - grid) +
           " (fixed)\r\nFrames: " + message + "\r\nRF: " + std::to_string(rf_hz) +
           " Hz, tone spacing " + std::to_string(WSPR_TONE_SPACING_UHZ) +
           " uHz\r\nXTAL: " + std::to_string(xtal_hz) + " Hz\r\nReference: set, crystal " +
           std::to_string(xtal_hz) + " Hz\r\nAuto: " + (auto_on ? "ON" : "OFF") + ", Time: ";
}
