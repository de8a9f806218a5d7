// What a readout costs the host: the probe link driven against the simulated
// probe, which answers at once, so all the time measured is ours (the link,
// the converter protocol, the readings arithmetic and text) plus the
// simulation's own bookkeeping, which makes the figures an upper bound.
//
// The time a readout spends on USB is modelled from the transfers the
// simulated driver logged and the per-transfer figures of usb_timing.h; the
// "host_ppm" counters give our measured cost as a share of that, in parts
// per million (1 % is 10000 ppm).
#include "bench/usb_timing.h"
#include "d2xx/sim/sim_probe.h"
#include "probe/converter.h"
#include "probe/probe_channel.h"
#include "probe/readings.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

using readings::Kind;
using readings::kChannelCount;

// Inputs near what a powered target shows (the demo's resting values), so
// the counts have bits of both values and the texts have their usual length.
constexpr double kInputReadings[kChannelCount] = {
    5.0,   // channel 0, volts
    42.0,  // channel 1, milliamps
    3.3,   // channel 2, volts
    2.5,   // channel 3, volts
};

// Transfers are counted and the sim's call log emptied outside the timed
// region every this many conversions / readouts. The log then holds at most
// about 16k calls, so memory stays flat however long the benchmark runs.
constexpr int kConversionsPerBatch = 256;
constexpr int kReadoutsPerBatch = 64;
// The sim also keeps every pin frame the converter saw; past this many the
// device is reset and the channel opened again, outside the timed region.
constexpr std::size_t kMaxKeptPinFrames = std::size_t{1} << 20;

// What the window shows for one converter channel.
struct Row {
    std::string text;
    int gauge = 0;
    bool operator==(const Row& other) const { return text == other.text && gauge == other.gauge; }
};
using Rows = std::array<Row, kChannelCount>;

uint16_t input_count(int row) {
    return readings::count_for_reading(readings::kChannels[row].kind, kInputReadings[row]);
}

// The window's work for one conversion, without the toolkit's label and gauge
// calls: a count becomes a reading, a text and a gauge value.
Row show(const readings::Channel& channel, uint16_t count, bool whole) {
    Row row;
    if (!whole) {
        row.text = channel.prefix + readings::format_missing(channel.kind);
        return row;
    }
    const float reading = readings::reading_from_count(channel.kind, count);
    row.text = channel.prefix + readings::format_reading(channel.kind, reading);
    row.gauge = readings::gauge_value(channel.kind, reading);
    return row;
}

// One readout as the window makes it: channels in table order, each shown
// before the next is converted.
void readout(Rows& rows) {
    for (int i = 0; i < kChannelCount; ++i) {
        const readings::Channel& channel = readings::kChannels[i];
        const uint16_t count = read_adc_channel(channel.converter_channel);
        rows[i] = show(channel, count, adc_last_conversion_whole());
    }
}

Rows expected_rows() {
    Rows rows;
    for (int i = 0; i < kChannelCount; ++i) rows[i] = show(readings::kChannels[i], input_count(i), true);
    return rows;
}

// The simulated probe on a manual clock with the channel open, and the
// transfers it has seen so far.
class SimulatedProbe {
public:
    SimulatedProbe() { start(); }
    ~SimulatedProbe() {
        if (open_) probe_close();
        sim::device().set_clock(nullptr);
    }
    SimulatedProbe(const SimulatedProbe&) = delete;
    SimulatedProbe& operator=(const SimulatedProbe&) = delete;

    bool open() const { return open_; }

    // Tallies the logged transfers and empties the log. Call outside timing.
    void collect() {
        for (const sim::Call& call : sim::device().log()) {
            if (call.fn == sim::Fn::Write) ++writes_;
            if (call.fn == sim::Fn::Read) ++reads_;
        }
        sim::device().clear_log();
        if (sim::device().high_level_frames().size() > kMaxKeptPinFrames) {
            probe_close();
            start();
        }
    }

    double writes() const { return static_cast<double>(writes_); }
    double reads() const { return static_cast<double>(reads_); }

private:
    void start() {
        sim::Device& dev = sim::device();
        dev.reset();
        dev.keep_log();
        dev.set_clock(&clock_);
        for (int i = 0; i < kChannelCount; ++i)
            dev.set_input_count(readings::kChannels[i].converter_channel, input_count(i));
        char serial[probe_settings::kSerialSize] = {};
        open_ = probe_open(serial) == 0;
        dev.clear_log();
    }

    sim::ManualClock clock_;
    bool open_ = false;
    uint64_t writes_ = 0;
    uint64_t reads_ = 0;
};

// Host seconds per unit, where per_iteration units happen in each iteration.
benchmark::Counter seconds_per(double per_iteration) {
    return benchmark::Counter(per_iteration,
                              benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Conversion(benchmark::State& state) {
    SimulatedProbe probe;
    if (!probe.open()) {
        state.SkipWithError("the simulated probe did not open");
        return;
    }
    uint8_t channel = 0;
    int in_batch = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(read_adc_channel(channel));
        channel = static_cast<uint8_t>((channel + 1) % kConverterChannels);
        if (++in_batch == kConversionsPerBatch) {
            state.PauseTiming();
            probe.collect();
            in_batch = 0;
            state.ResumeTiming();
        }
    }
    probe.collect();
    const double conversions = static_cast<double>(state.iterations());
    const double transfers = (probe.writes() + probe.reads()) / conversions;
    state.counters["transfers"] = transfers;
    state.counters["host_per_transfer"] = seconds_per(transfers);
}
BENCHMARK(BM_Conversion);

// One readout per iteration, timed on its own: the transfer count and the
// check of the shown rows between batches stay out of the figures. The model,
// when given, turns the logged transfers into USB time.
void run_readouts(benchmark::State& state, const usb_timing::LinkModel* link) {
    SimulatedProbe probe;
    if (!probe.open()) {
        state.SkipWithError("the simulated probe did not open");
        return;
    }
    const Rows expected = expected_rows();
    Rows rows;
    int in_batch = 0;
    double host_seconds = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        readout(rows);
        benchmark::DoNotOptimize(rows);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        host_seconds += took.count();
        if (++in_batch == kReadoutsPerBatch) {
            probe.collect();
            in_batch = 0;
            if (rows != expected) {
                state.SkipWithError("readout differs from the simulated inputs");
                return;
            }
        }
    }
    probe.collect();
    const double readouts = static_cast<double>(state.iterations());
    const double writes = probe.writes() / readouts;
    const double reads = probe.reads() / readouts;
    state.counters["writes"] = writes;
    state.counters["reads"] = reads;
    state.counters["host_per_transfer"] = seconds_per(writes + reads);
    if (link == nullptr) return;
    constexpr double kPerMillion = 1e6;  // 1 % is 10000 ppm
    constexpr double kUsPerSecond = 1e6;
    const double modelled_us = usb_timing::modelled_us(*link, writes, reads);
    state.counters["modelled_ms"] = modelled_us / usb_timing::kUsPerMs;
    state.counters["host_ppm"] = kPerMillion * host_seconds * kUsPerSecond / readouts / modelled_us;
    state.SetLabel(link->name);
}

void BM_Readout(benchmark::State& state) { run_readouts(state, nullptr); }
BENCHMARK(BM_Readout)->UseManualTime();

void BM_ReadoutOverLink(benchmark::State& state, const usb_timing::LinkModel* link) {
    run_readouts(state, link);
}
BENCHMARK_CAPTURE(BM_ReadoutOverLink, full_speed, &usb_timing::kFullSpeed)->UseManualTime();

// The readout's arithmetic and text alone, for four counts that change every
// iteration so nothing is folded away.
void BM_ReadingsOnly(benchmark::State& state) {
    // Odd, so the counts walk through every value of 0..1023.
    constexpr uint16_t kCountStep = 37;
    Rows rows;
    uint16_t base = 0;
    for (auto _ : state) {
        for (int i = 0; i < kChannelCount; ++i) {
            const uint16_t count = static_cast<uint16_t>((base + i * kCountStep) & kConverterMaxCount);
            rows[i] = show(readings::kChannels[i], count, true);
        }
        benchmark::DoNotOptimize(rows);
        base = static_cast<uint16_t>(base + kCountStep);
    }
}
BENCHMARK(BM_ReadingsOnly);

// The model's figures go into the report's context, beside the machine's.
bool describe_model() {
    const usb_timing::LinkModel& link = usb_timing::kFullSpeed;
    char figures[64];
    std::snprintf(figures, sizeof figures, "write %g us, read %g us", link.write_us, link.read_us);
    benchmark::AddCustomContext(std::string("model ") + link.name, figures);
    return true;
}
// Registered before main runs, as the benchmarks themselves are.
const bool kModelDescribed = describe_model();

}  // namespace

BENCHMARK_MAIN();
