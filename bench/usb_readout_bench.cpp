// Readouts in real time through the real libftdi1 and the libftdi driver
// layer on the modelled FT2232H of the libusb stand-in (usbsim), in
// three variants of the bus, side by side in one run:
// - send_immediate: the bus as it is; the driver follows every read-pins
//   frame with SEND_IMMEDIATE, so the answer leaves at the next microframe;
// - no_send_immediate: the chip ignores SEND_IMMEDIATE, so every answer
//   waits for the latency timer (the probe link before that change);
// - floor: every answer leaves at the next microframe whatever was sent.
//
// Per readout: its time (the benchmark's manual time). Per conversion: the
// time from the read-pins frame of the first result bit (B9) to that of the
// last (B0), from the bus trace. After the run, the medians of all readouts
// of each variant and their ratios are printed.
#include "usbsim/usb_bus.h"
#include "probe/converter.h"
#include "probe/probe_channel.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kResultBits = 10;
constexpr double kUsPerMs = 1000.0;
constexpr double kMsPerSecond = 1000.0;

// The targets of the change, as ratios of medians from the same run.
constexpr double kMostOverFloor = 1.3;
constexpr double kLeastSpeedUp = 1.8;

// Converter inputs of the modelled probe, one per channel, with bits of
// both values so that a wrong bit shows as a wrong count.
constexpr uint16_t kInputs[kConverterChannels] = {341, 682, 613, 410};

enum VariantIndex { kWith, kWithout, kFloor, kVariants };

struct Variant {
    const char* title;
    usbsim::Options options;
};

usbsim::Options with_options(bool ignore_send_immediate, bool answer_at_once) {
    usbsim::Options options;
    options.ignore_send_immediate = ignore_send_immediate;
    options.answer_at_once = answer_at_once;
    return options;
}

const Variant kVariantList[kVariants] = {
    {"with SEND_IMMEDIATE", with_options(false, false)},
    {"without (chip ignores it)", with_options(true, false)},
    {"floor (answer at once)", with_options(false, true)},
};

// Every readout and conversion measured, per variant, over all repetitions.
struct Samples {
    std::vector<double> readout_ms;
    std::vector<double> bits_ms;
};
Samples g_samples[kVariants];

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

// B9-to-B0 spans of the conversions in the trace, in ms: the trace holds
// whole conversions only, so its lone read-pins frames come in tens.
// Returns false when they do not.
bool result_bit_spans(std::vector<double>* spans) {
    std::vector<uint64_t> reads_us;
    for (const usbsim::Event& e : usbsim::bus().trace()) {
        if (e.kind == usbsim::Event::Kind::BulkOut && e.interface == usbsim::kInterfaceB &&
            !e.bytes.empty() && e.bytes.size() <= 2 && e.bytes[0] == mpsse::kGetBitsHigh)
            reads_us.push_back(e.at_us);
    }
    if (reads_us.empty() || reads_us.size() % kResultBits != 0) return false;
    for (size_t first = 0; first < reads_us.size(); first += kResultBits)
        spans->push_back(static_cast<double>(reads_us[first + kResultBits - 1] - reads_us[first]) /
                         kUsPerMs);
    return true;
}

void BM_UsbReadout(benchmark::State& state, VariantIndex index) {
    usbsim::Bus& bus = usbsim::bus();
    bus.set_clock(nullptr);
    bus.configure(kVariantList[index].options);
    for (unsigned ch = 0; ch < kConverterChannels; ++ch)
        bus.chip(1).set_input_count(ch, kInputs[ch]);
    char serial[probe_settings::kSerialSize] = {};
    if (probe_open(serial) != 0) {
        state.SkipWithError("the modelled probe did not open");
        return;
    }
    bus.keep_trace(true);
    bus.clear_trace();
    Samples& samples = g_samples[index];
    std::vector<double> spans;
    std::vector<double> run_bits_ms;
    for (auto _ : state) {
        uint16_t counts[kConverterChannels] = {};
        bool whole = true;
        const auto start = std::chrono::steady_clock::now();
        for (uint8_t ch = 0; ch < kConverterChannels; ++ch) {
            counts[ch] = read_adc_channel(ch);
            whole = whole && adc_last_conversion_whole();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        // Checked and traced outside the readout's time.
        if (!whole || !std::equal(counts, counts + kConverterChannels, kInputs)) {
            state.SkipWithError("a readout differs from the modelled inputs");
            break;
        }
        spans.clear();
        if (!result_bit_spans(&spans)) {
            state.SkipWithError("the trace does not hold ten result-bit reads per conversion");
            break;
        }
        bus.clear_trace();
        samples.readout_ms.push_back(took.count() * kMsPerSecond);
        samples.bits_ms.insert(samples.bits_ms.end(), spans.begin(), spans.end());
        run_bits_ms.insert(run_bits_ms.end(), spans.begin(), spans.end());
    }
    bus.keep_trace(false);
    bus.clear_trace();
    probe_close();
    state.counters["bits_ms"] = median(run_bits_ms);
    state.SetLabel(kVariantList[index].title);
}
BENCHMARK_CAPTURE(BM_UsbReadout, send_immediate, kWith)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_UsbReadout, no_send_immediate, kWithout)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_UsbReadout, floor, kFloor)->UseManualTime()->Unit(benchmark::kMillisecond);

// The three readout times and their ratios, from every readout of the run.
void print_summary() {
    double readout[kVariants];
    std::printf("\nmedians over all readouts of this run (result bits: B9 to B0 per conversion)\n");
    std::printf("%-28s %9s %12s %12s\n", "variant", "readouts", "readout", "result bits");
    for (int v = 0; v < kVariants; ++v) {
        readout[v] = median(g_samples[v].readout_ms);
        std::printf("%-28s %9zu %9.2f ms %9.2f ms\n", kVariantList[v].title,
                    g_samples[v].readout_ms.size(), readout[v], median(g_samples[v].bits_ms));
    }
    if (readout[kWith] <= 0.0 || readout[kFloor] <= 0.0) {
        std::printf("no ratios: a variant has no readouts\n");
        return;
    }
    const double over_floor = readout[kWith] / readout[kFloor];
    const double speed_up = readout[kWithout] / readout[kWith];
    std::printf("with / floor:    %.2f (target at most %.1f: %s)\n", over_floor, kMostOverFloor,
                over_floor <= kMostOverFloor ? "met" : "not met");
    std::printf("without / with:  %.2f (target at least %.1f: %s)\n", speed_up, kLeastSpeedUp,
                speed_up >= kLeastSpeedUp ? "met" : "not met");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_summary();
    return 0;
}
