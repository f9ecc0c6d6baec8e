// Texts the beacon prints on its console, as the tests and fuzz targets expect them.
#pragma once

#include <cstdint>
#include <string>

#include "app_config.h"
#include "bands.h"

// A list of one entry as show gives it: the band's name for its own tone 0, else the hertz.
inline std::string OneEntryList(uint32_t hz) {
    const int band = Band_Of(hz);
    return (band >= 0 && k_bands[band].tone0_hz == hz ? std::string(k_bands[band].name)
                                                      : std::to_string(hz)) +
           ":0";
}

inline constexpr const char *k_console_help =
    "\r\nCommands:\r\n"
    "  help                 Show this help\r\n"
    "  show                 Show current configuration and state\r\n"
    "  set call CALL        Set callsign: CALL, PFX/CALL or CALL/SFX\r\n"
    "  set grid GRID|gnss   Set 4/6-char locator (OM85AB), or from GNSS\r\n"
    "  set power DBM        Set WSPR power dBm, 0..60\r\n"
    "  set freq HZ          Set direct RF output frequency in Hz\r\n"
    "  set xtal HZ          Set Si5351 crystal in Hz (used until PPS lock)\r\n"
    "  set mode MODE        wspr, fst4w-120, fst4w-300, fst4w-900, fst4w-1800\r\n"
    "  set bands LIST       Bands (40m) or HZ, each :CODE 0..7; + LIST adds\r\n"
    "  set hop MODE         Band hopping: order or coordinated\r\n"
    "  set txpct P          Share of slots sent, 0..100 %\r\n"
    "  set offset HZ        Random offset per frame, 0..100 Hz\r\n"
    "  save                 Keep settings (and PPS crystal) over a reset\r\n"
    "  defaults             Back to built-in settings\r\n"
    "  time HH:MM:SS        Set UTC time from PC\r\n"
    "  auto on|off          Enable/disable even-minute auto TX\r\n"
    "  tx                   Transmit one WSPR frame now\r\n"
    "  stop                 Stop TX and disable CLK1\r\n\r\n";

// The status report without pulses up to "Time: ", which is followed by "invalid\r\n\r\n" or by
// "valid HH:MM:SS UTC\r\n\r\n"; for a plain callsign and a fixed 4-character locator
// ("CALL GRID 10dBm"), which send one frame, the message itself. The band list defaults to the one
// entry set freq makes, the day to the built-in hop mode, share and offset.
inline std::string ShowHead(const std::string &state, const std::string &message, uint32_t rf_hz,
                            uint32_t xtal_hz, bool auto_on, const std::string &bands = "",
                            const std::string &day = "order, TX share: 100%, offset: +-0 Hz") {
    const size_t grid = message.find(' ') + 1;
    return "\r\nState: " + state + "\r\nMessage: " + message +
           "\r\nLocator: " + message.substr(grid, message.find(' ', grid) - grid) +
           " (fixed)\r\nFrames: " + message +
           "\r\nMode: wspr, period 120 s\r\nRF: " + std::to_string(rf_hz) + " Hz, tone spacing " +
           std::to_string(WSPR_TONE_SPACING_UHZ) + " uHz\r\nXTAL: " + std::to_string(xtal_hz) +
           " Hz\r\nReference: set, crystal " + std::to_string(xtal_hz) +
           " Hz\r\nBands: " + (bands.empty() ? OneEntryList(rf_hz) : bands) + "\r\nHop: " + day +
           "\r\nAuto: " + (auto_on ? "ON" : "OFF") + ", Time: ";
}
