// Resident memory over a long run on the simulated probe, as the demo
// programs make one: the simulated driver keeps its call log only when a
// test asks for it, so memory stays flat however many readouts are taken.
#include "d2xx/sim/sim_probe.h"
#include "probe/converter.h"
#include "probe/probe_channel.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kReadouts = 20000;
constexpr double kBytesPerKib = 1024.0;

// Resident set size of this process in KiB, from /proc; 0 when unreadable.
double resident_kib() {
    long pages_total = 0, pages_resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0.0;
    const bool read = std::fscanf(statm, "%ld %ld", &pages_total, &pages_resident) == 2;
    std::fclose(statm);
    return read ? static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
                      kBytesPerKib
                : 0.0;
}

// keep_log: what a test's probe does; without it, what the demos' does.
void BM_LongRunMemory(benchmark::State& state, bool keep_log) {
    for (auto _ : state) {
        sim::device().reset();
        if (keep_log) sim::device().keep_log();
        char serial[probe_settings::kSerialSize] = {};
        if (probe_open(serial) != 0) {
            state.SkipWithError("the simulated probe did not open");
            return;
        }
        const double before = resident_kib();
        for (int i = 0; i < kReadouts; ++i)
            for (uint8_t ch = 0; ch < kConverterChannels; ++ch)
                benchmark::DoNotOptimize(read_adc_channel(ch));
        state.counters["growth_KiB"] = resident_kib() - before;
        probe_close();
        sim::device().reset();
    }
    state.counters["readouts"] = kReadouts;
}
BENCHMARK_CAPTURE(BM_LongRunMemory, demo, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LongRunMemory, call_log_kept, true)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
