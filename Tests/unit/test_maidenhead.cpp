// The locator from a GNSS position: RMC position fields through the sentence parser, then the
// Maidenhead cells, at the edges of the world and of the cells; and every capture of real receivers
// against an independent floating-point reading.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gnss_time.h"
#include "maidenhead.h"
#include "nmea_reference.h"

namespace {

std::string Sentence(const std::string &body) {
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

// The fix the parser gives for the whole sentence (has_position false when it gives none).
GnssTime Push(const std::string &sentence) {
    GNSS_TimeParser_Init();
    GnssTime fix{};
    GnssTime out{};
    for (char c : sentence) {
        if (GNSS_TimeParser_Push(static_cast<uint8_t>(c), &fix)) {
            out = fix;
        }
    }
    return out;
}

// The locator the beacon takes from an RMC sentence with these position fields; "" for none.
std::string LocatorFrom(const std::string &position) {
    const GnssTime fix = Push(Sentence("GPRMC,120000.00,A," + position + ",0.0,0.0,010125,,,A"));
    EXPECT_TRUE(fix.valid) << position;
    char loc[7] = {};
    if (!fix.has_position || !Maidenhead_Locator(fix.lat, fix.lon, loc)) {
        return "";
    }
    return loc;
}

TEST(Maidenhead, WorkedPositions) {
    EXPECT_EQ(LocatorFrom("4807.038,N,01131.000,E"), "JN58SC");
    EXPECT_EQ(LocatorFrom("4020.922,N,07439.558,W"), "FN20QI"); // 40.3487 N, 74.6593 W
    EXPECT_EQ(LocatorFrom("3352.128,S,15112.558,E"), "QF56OD"); // 33.8688 S, 151.2093 E
    EXPECT_EQ(LocatorFrom("0000.000,N,00000.000,E"), "JJ00AA");
    EXPECT_EQ(LocatorFrom("4121.23302,N,00201.31654,W"), "IN81XI");
}

TEST(Maidenhead, EdgesOfTheWorldAndOfTheCells) {
    // The poles and the date line, +90 and +180 just inside.
    EXPECT_EQ(LocatorFrom("9000.000,N,18000.000,E"), "RR99XX");
    EXPECT_EQ(LocatorFrom("9000.000,S,18000.000,W"), "AA00AA");
    EXPECT_EQ(LocatorFrom("8959.99999,N,17959.99999,E"), "RR99XX");
    EXPECT_EQ(LocatorFrom("0000.000,S,18000.000,E"), "RJ90XA");
    // The equator and the prime meridian from either side.
    EXPECT_EQ(LocatorFrom("0000.00001,S,00000.00001,W"), "II99XX");
    EXPECT_EQ(LocatorFrom("0000.00001,N,00000.00001,E"), "JJ00AA");
    // A subsquare is 5' x 2.5': its edges fall on whole multiples, never moved by rounding.
    EXPECT_EQ(LocatorFrom("0002.50000,N,00005.00000,E"), "JJ00BB");
    EXPECT_EQ(LocatorFrom("0002.49999,N,00004.99999,E"), "JJ00AA");
    EXPECT_EQ(LocatorFrom("0002.50001,S,00005.00001,W"), "II99WW");
    EXPECT_EQ(LocatorFrom("0002.50000,S,00005.00000,W"), "II99XX");
    // Square and field edges: 1 degree, 2 degrees; 10 and 20.
    EXPECT_EQ(LocatorFrom("0100.000,N,00200.000,E"), "JJ11AA");
    EXPECT_EQ(LocatorFrom("1000.000,N,02000.000,E"), "KK00AA");
    EXPECT_EQ(LocatorFrom("0959.99999,N,01959.99999,E"), "JJ99XX");
}

TEST(Maidenhead, MinutesWithAnyNumberOfDecimals) {
    for (const char *lat : {"4807,N", "4807.,N", "4807.0,N", "4807.00,N", "4807.000,N",
                            "4807.0000,N", "4807.00000,N", "4807.0000099,N"}) {
        EXPECT_EQ(LocatorFrom(std::string(lat) + ",01131.000,E"), "JN58SC") << lat;
    }
    EXPECT_EQ(LocatorFrom("4807.5,N,01135,E"), "JN58TD");
}

// The time of such a sentence stays good: only the locator is left alone.
TEST(Maidenhead, BadPositionsGiveNone) {
    for (const char *pos :
         {",,,", "4860.000,N,01131.000,E", "9000.001,N,01131.000,E", "4807.038,N,18000.001,E",
          "807.038,N,01131.000,E", "4807.038,N,1131.000,E", "4807.038,,01131.000,E",
          "4807.038,X,01131.000,E", "4807.038,N,01131.000,", "4807.038,n,01131.000,e",
          "48O7.038,N,01131.000,E", "4807.0-8,N,01131.000,E", "-4807.038,N,01131.000,E"}) {
        EXPECT_EQ(LocatorFrom(pos), "") << pos;
    }
    // Status V: no fix, neither time nor position.
    const GnssTime v = Push(Sentence("GPRMC,120000.00,V,4807.038,N,01131.000,E,,,010125,,,N"));
    EXPECT_FALSE(v.valid);
}

// Each capture of Tests/data/nmea: the positions of the sentences the beacon accepts give the
// locators an independent reading gives.
TEST(Maidenhead, CapturesGiveTheLocatorsOfTheirPositions) {
    size_t positions = 0;
    for (const auto &[name, bytes] : nmea_reference::Captures()) {
        SCOPED_TRACE(name);
        std::vector<std::string> expected;
        for (const std::string &line : nmea_reference::LinesOf(bytes)) {
            if (auto loc = nmea_reference::LocatorOf(line)) {
                expected.push_back(*loc);
            }
        }
        std::vector<std::string> got;
        GNSS_TimeParser_Init();
        GnssTime fix{};
        for (char c : bytes) {
            if (GNSS_TimeParser_Push(static_cast<uint8_t>(c), &fix) && fix.has_position) {
                char loc[7] = {};
                ASSERT_TRUE(Maidenhead_Locator(fix.lat, fix.lon, loc));
                got.emplace_back(loc);
            }
            fix = {};
        }
        EXPECT_EQ(got, expected);
        positions += got.size();
    }
    EXPECT_GT(positions, 1000U);
}

} // namespace
