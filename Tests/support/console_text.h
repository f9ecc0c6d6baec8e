// Texts the beacon prints on its console, as the tests and fuzz targets expect them.
#pragma once

inline constexpr const char *k_console_help =
    "\r\nCommands:\r\n"
    "  help                 Show this help\r\n"
    "  show                 Show current configuration and state\r\n"
    "  set call CALL        Set WSPR callsign, max 6 chars\r\n"
    "  set grid GRID        Set 4-char Maidenhead grid, e.g. OM85\r\n"
    "  set power DBM        Set WSPR power dBm, 0..60\r\n"
    "  set freq HZ          Set direct RF output frequency in Hz\r\n"
    "  time HH:MM:SS        Set UTC time from PC\r\n"
    "  auto on|off          Enable/disable even-minute auto TX\r\n"
    "  tx                   Transmit one WSPR frame now\r\n"
    "  stop                 Stop TX and disable CLK1\r\n\r\n";
