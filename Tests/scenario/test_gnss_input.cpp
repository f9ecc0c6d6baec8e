// Time from the GNSS line through the whole beacon: UART, ring, parser, clock and its log lines.
#include <cstdio>
#include <string>
#include <vector>

#include "nmea_reference.h"
#include "scenario.h"

using nmea_reference::Hms;
using scenario::Command;
using scenario::OnFreshBoard;

namespace {

// The times of the "TIME set ... from GNSS" lines the beacon printed.
std::vector<Hms> GnssTimesOnConsole(const std::string &console) {
    std::vector<Hms> times;
    const std::string head = "TIME set ";
    for (size_t p = console.find(head); p != std::string::npos; p = console.find(head, p + 1)) {
        if (console.compare(p + 17, 15, " UTC from GNSS\r") == 0) {
            times.push_back({std::stoi(console.substr(p + 9, 2)),
                             std::stoi(console.substr(p + 12, 2)),
                             std::stoi(console.substr(p + 15, 2))});
        }
    }
    return times;
}

std::string Checksummed(const std::string &body) {
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail + "\r\n";
}

} // namespace

// Every real capture, replayed at 9600 baud into the running beacon, sets the time exactly where
// an independent reading of the bytes says it must, in order, and nowhere else; receivers with
// several fixes a second print one time line a second.
TEST(GnssInput, RealCapturesThroughTheBeacon) {
    for (const auto &[name, bytes] : nmea_reference::Captures()) {
        std::vector<Hms> want = nmea_reference::TimeLines(nmea_reference::IndependentTimes(bytes));
        OnFreshBoard([&name, &bytes, &want] {
            scenario::Boot();
            Command("auto off");
            sim::GnssAt(sim::Now(), bytes);
            sim::RunUntil(vmcu::uart_line(sim::GnssUart()).free_ns() + 100 * sim::MS);
            std::vector<Hms> got = GnssTimesOnConsole(sim::Console());
            EXPECT_EQ(got, want) << name << ": " << got.size() << " vs " << want.size();
            EXPECT_EQ(vmcu::uart_overruns(sim::GnssUart()), 0u) << name;
        });
    }
}

// Fields are read by position: an empty status is not replaced by a later field.
TEST(GnssInput, EmptyFieldsRejectTheSentence) {
    OnFreshBoard([] {
        scenario::Boot();
        Command("auto off");
        sim::ClearConsole();
        sim::GnssAt(sim::Now(), Checksummed("GPRMC,235959.00,,,,,,,,,,,A"));
        sim::GnssAt(sim::Now(), Checksummed("GPRMC,,A,4807.038,N,01131.000,E,,,,,,A"));
        sim::GnssAt(sim::Now(), Checksummed("GNRMC,101112.00,V,,,,,,,,,,N"));
        sim::GnssAt(sim::Now(), Checksummed("GPRMC,101113,A,,,,,,,,,,A"));
        sim::RunFor(1000 * sim::MS);
        EXPECT_EQ(sim::Console(), "TIME set 10:11:13 UTC from GNSS\r\n");
    });
}
