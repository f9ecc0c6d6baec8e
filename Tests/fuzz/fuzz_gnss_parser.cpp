// The RMC time parser alone: every byte sequence. Each accepted time must be in range, the record
// marked valid, and the sequence of accepted times exactly what an independent reading of the
// same bytes finds.
#include <string>
#include <vector>

#include <cstdio>
#include <cstdlib>

#include "gnss_time.h"
#include "nmea_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    GNSS_TimeParser_Init();
    std::vector<nmea_reference::Hms> accepted;
    for (size_t i = 0; i < size; ++i) {
        GnssTime t{};
        if (GNSS_TimeParser_Push(data[i], &t)) {
            if (!t.valid || t.hour > 23 || t.minute > 59 || t.second > 59 || t.millisecond > 999) {
                std::fprintf(stderr, "accepted %u:%u:%u valid=%d\n", t.hour, t.minute, t.second,
                             t.valid);
                std::abort();
            }
            accepted.push_back({t.hour, t.minute, t.second, t.millisecond});
        }
    }
    const std::vector<nmea_reference::Hms> expected =
        nmea_reference::IndependentTimes(std::string(reinterpret_cast<const char *>(data), size));
    if (accepted != expected) {
        std::fprintf(stderr, "parser accepted %zu times, the independent reading %zu\n",
                     accepted.size(), expected.size());
        for (size_t i = 0; i < accepted.size() || i < expected.size(); ++i) {
            std::fprintf(stderr, "  %s | %s\n",
                         i < accepted.size() ? nmea_reference::Text(accepted[i]).c_str() : "-",
                         i < expected.size() ? nmea_reference::Text(expected[i]).c_str() : "-");
        }
        std::abort();
    }
    return 0;
}
