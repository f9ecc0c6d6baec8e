#include <benchmark/benchmark.h>

#include <cstdint>

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

} // namespace
