// The planning of a frame's four tones, as done at every frame start (and after a new base
// frequency or crystal during a frame): one plan per iteration, on the PC.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "si5351.h"

namespace {

void BM_PlanTones(benchmark::State &state) {
    const uint64_t base_hz = static_cast<uint64_t>(state.range(0));
    Si5351TonePlan plan{};
    for (auto _ : state) {
        uint64_t first = base_hz * 1000000ULL;
        benchmark::DoNotOptimize(first);
        benchmark::DoNotOptimize(
            Si5351_PlanTones(SI5351_XTAL_HZ, first, WSPR_TONE_SPACING_UHZ, 4, &plan));
        benchmark::ClobberMemory();
    }
}
// 160 m (the lowest), 20 m, 10 m, the top of the fixed-PLL range where few PLL multiples fit,
// 2 m (PLL moving), and a base next to a simple multiple of the crystal (every candidate tried).
BENCHMARK(BM_PlanTones)
    ->Arg(2500000)
    ->Arg(14097070)
    ->Arg(28126100)
    ->Arg(112300000)
    ->Arg(144490500)
    ->Arg(125016376);

} // namespace
