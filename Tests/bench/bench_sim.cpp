// Speed of the virtual board: simulated milliseconds per wall-clock second, with the beacon idle
// and while it transmits. One board per process: it boots once and every benchmark advances the
// same virtual time line in chunks.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "board.h"

namespace {

constexpr uint64_t CHUNK_MS = 10000;

void BootOnce() {
    static bool booted = false;
    if (booted) {
        return;
    }
    booted = true;
    sim::Prepare();
    // As `wspr-sim run` does: no logs that grow with the run.
    vmcu::i2c_keep_log(false);
    sim::Terminal().Keep(false);
    sim::Chip().keep_timeline(false);
    sim::Boot();
    sim::RunFor(10 * sim::MS);
}

bool Transmitting() {
    return sim::Status().state == WSPR_STATE_TX;
}

// No time set: nothing but the tick, the LED and the key poll.
void BM_SimIdle(benchmark::State &state) {
    BootOnce();
    uint64_t simulated_ms = 0;
    for (auto _ : state) {
        sim::RunFor(CHUNK_MS * sim::MS);
        simulated_ms += CHUNK_MS;
    }
    state.counters["sim_ms_per_s"] =
        benchmark::Counter(static_cast<double>(simulated_ms), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimIdle)->UseRealTime()->Unit(benchmark::kMillisecond);

// Frame after frame: a "tx" typed whenever the last one has ended. Each tone change is one
// transfer to the Si5351 over I2C; the console gets the start and end lines.
void BM_SimTransmitting(benchmark::State &state) {
    BootOnce();
    uint64_t simulated_ms = 0;
    uint64_t tx_ms = 0;
    for (auto _ : state) {
        if (!Transmitting()) {
            sim::Type("tx\r");
        }
        for (uint64_t ms = 0; ms < CHUNK_MS; ms += 100) {
            sim::RunFor(100 * sim::MS);
            tx_ms += Transmitting() ? 100 : 0;
        }
        simulated_ms += CHUNK_MS;
    }
    state.counters["sim_ms_per_s"] =
        benchmark::Counter(static_cast<double>(simulated_ms), benchmark::Counter::kIsRate);
    state.counters["tx_share"] = static_cast<double>(tx_ms) / static_cast<double>(simulated_ms);
}
BENCHMARK(BM_SimTransmitting)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
