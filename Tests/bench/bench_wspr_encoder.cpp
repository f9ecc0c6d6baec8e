#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

#include "fst4w_encoder.h"
#include "wspr_encoder.h"

namespace {

// One frame of the default message, as built at every transmission start.
void BM_WsprEncode(benchmark::State &state) {
    uint8_t symbols[WSPR_SYMBOL_COUNT];
    for (auto _ : state) {
        const char *call = "QZ5RTV";
        const char *locator = "OM85";
        benchmark::DoNotOptimize(call);
        benchmark::DoNotOptimize(locator);
        benchmark::DoNotOptimize(WSPR_Encode(call, locator, 10, symbols));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_WsprEncode);

// A refused message stops at the callsign.
void BM_WsprEncodeRefused(benchmark::State &state) {
    uint8_t symbols[WSPR_SYMBOL_COUNT];
    for (auto _ : state) {
        const char *call = "Q5RTVX";
        benchmark::DoNotOptimize(call);
        benchmark::DoNotOptimize(WSPR_Encode(call, "OM85", 10, symbols));
    }
}
BENCHMARK(BM_WsprEncodeRefused);

// One frame of each message type, packed and coded as at a frame start.
void EncodeMessage(benchmark::State &state, WsprMsgType type, const char *call,
                   const char *locator) {
    WsprMessage message = {};
    message.type = type;
    std::snprintf(message.call, sizeof message.call, "%s", call);
    std::snprintf(message.locator, sizeof message.locator, "%s", locator);
    message.power_dbm = 10;
    uint8_t symbols[WSPR_SYMBOL_COUNT];
    for (auto _ : state) {
        benchmark::DoNotOptimize(message);
        benchmark::DoNotOptimize(WSPR_EncodeMessage(&message, symbols));
        benchmark::ClobberMemory();
    }
}
BENCHMARK_CAPTURE(EncodeMessage, type1, WSPR_MSG_TYPE1, "QZ5RTV", "OM85");
BENCHMARK_CAPTURE(EncodeMessage, type2, WSPR_MSG_TYPE2, "PJ4/QZ5RTV", "");
BENCHMARK_CAPTURE(EncodeMessage, type3, WSPR_MSG_TYPE3, "PJ4/QZ5RTV", "OM85AB");

// One FST4W frame of each message type: packing, CRC, the LDPC parity worked out symbol by
// symbol, as at a frame start in FST4W.
void Fst4wEncodeMessage(benchmark::State &state, WsprMsgType type, const char *call,
                        const char *locator) {
    WsprMessage message = {};
    message.type = type;
    std::snprintf(message.call, sizeof message.call, "%s", call);
    std::snprintf(message.locator, sizeof message.locator, "%s", locator);
    message.power_dbm = 10;
    uint8_t symbols[FST4W_SYMBOL_COUNT];
    for (auto _ : state) {
        benchmark::DoNotOptimize(message);
        benchmark::DoNotOptimize(FST4W_EncodeMessage(&message, symbols));
        benchmark::ClobberMemory();
    }
}
BENCHMARK_CAPTURE(Fst4wEncodeMessage, type1, WSPR_MSG_TYPE1, "QZ5RTV", "OM85");
BENCHMARK_CAPTURE(Fst4wEncodeMessage, type2, WSPR_MSG_TYPE2, "PJ4/QZ5RTV", "");
BENCHMARK_CAPTURE(Fst4wEncodeMessage, type3, WSPR_MSG_TYPE3, "PJ4/QZ5RTV", "OM85AB");

} // namespace
