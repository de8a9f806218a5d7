// The capture at full pace through the real libftdi1 and the libftdi driver
// layer on the modelled FT2232H of the libusb stand-in (usbsim), in real
// time: how many readouts it takes against the bus's floor, and how close
// each one's stamp is to its transfers.
//
// The floor: readouts back to back on the calling thread, with nothing else
// between them, as talviro_read --interval 0.001 takes them; the time of one
// is the median of a run of them, and the floor over a span is the span over
// it. The capture then runs for the span (TALVIRO_CAPTURE_BENCH_SECONDS,
// default 10) on its own thread while this thread drains it as a window
// does. Every readout's stamp is compared with the bus time of its first
// transfer (its first bulk OUT on channel B) in the bus trace.
#include "console/capture.h"
#include "probe/probe_channel.h"
#include "usbsim/usb_bus.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kUsPerMs = 1000.0;
constexpr double kMsPerSecond = 1000.0;
// The targets: readouts against the floor, and a stamp's distance from its
// first transfer.
constexpr double kLeastOfFloor = 0.95;
constexpr double kMostStampOffMs = 2.0;
// The floor's readouts, back to back.
constexpr int kFloorReadouts = 40;
// One readout: four conversions of 52 writes each, every write one bulk OUT.
constexpr size_t kWritesPerReadout = 4 * 52;
// A window drains this often.
constexpr std::chrono::milliseconds kDrainPeriod(40);
constexpr double kDefaultSeconds = 10.0;

double span_seconds() {
    const char* text = std::getenv("TALVIRO_CAPTURE_BENCH_SECONDS");
    const double seconds = text != nullptr ? std::atof(text) : kDefaultSeconds;
    return seconds > 0.0 ? seconds : kDefaultSeconds;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

// The bus's clock in ms: the trace's time, so that stamps compare with it.
int64_t bus_ms() { return static_cast<int64_t>(usbsim::bus().clock().now_us() / 1000); }

// The bus times (us) of the first bulk OUT on channel B of each readout in
// the trace; empty when the trace does not hold whole readouts' writes.
std::vector<uint64_t> readout_starts_us() {
    std::vector<uint64_t> writes_us;
    for (const usbsim::Event& e : usbsim::bus().trace())
        if (e.kind == usbsim::Event::Kind::BulkOut && e.interface == usbsim::kInterfaceB)
            writes_us.push_back(e.at_us);
    std::vector<uint64_t> starts;
    if (writes_us.size() % kWritesPerReadout != 0) return starts;
    for (size_t first = 0; first < writes_us.size(); first += kWritesPerReadout)
        starts.push_back(writes_us[first]);
    return starts;
}

void BM_CaptureAtBusPace(benchmark::State& state) {
    usbsim::Bus& bus = usbsim::bus();
    bus.set_clock(nullptr);
    bus.configure(usbsim::Options{});
    char serial[probe_settings::kSerialSize] = {};
    if (probe_open(serial) != 0) {
        state.SkipWithError("the modelled probe did not open");
        return;
    }
    const double seconds = span_seconds();
    for (auto _ : state) {
        // The floor, on this thread.
        std::vector<double> readout_ms;
        for (int k = 0; k < kFloorReadouts; ++k) {
            const auto start = std::chrono::steady_clock::now();
            const bool whole = console::read_probe().whole();
            const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
            if (!whole) {
                state.SkipWithError("a floor readout was not whole");
                return;
            }
            readout_ms.push_back(took.count());
        }
        const double floor_ms = median(readout_ms);
        const double floor_readouts = seconds * kMsPerSecond / floor_ms;

        // The capture, drained as a window does.
        console::Capture capture(bus_ms);
        bus.keep_trace(true);
        bus.clear_trace();
        std::vector<console::Taken> taken;
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(seconds));
        if (!capture.start(console::kCaptureBusPace, probe_name())) {
            state.SkipWithError("the capture did not start");
            return;
        }
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(kDrainPeriod);
            capture.drain(taken);
        }
        capture.stop();
        capture.drain(taken);
        const std::chrono::duration<double> ran = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(ran.count());

        const std::vector<uint64_t> starts = readout_starts_us();
        bus.keep_trace(false);
        bus.clear_trace();
        if (starts.size() != taken.size()) {
            state.SkipWithError("the trace does not hold each readout's writes");
            return;
        }
        double most_off_ms = 0.0;
        size_t whole = 0;
        for (size_t k = 0; k < taken.size(); ++k) {
            // The stamp is in whole ms, the trace in us: off by how far the
            // first transfer lies from the stamp's millisecond.
            const double off = static_cast<double>(starts[k]) / kUsPerMs - static_cast<double>(taken[k].time_ms);
            most_off_ms = std::max(most_off_ms, off < 0.0 ? -off : off);
            if (taken[k].sample.whole()) ++whole;
        }
        const double of_floor = static_cast<double>(whole) / floor_readouts;
        state.counters["floor_ms"] = floor_ms;
        state.counters["readouts"] = static_cast<double>(whole);
        state.counters["floor_readouts"] = floor_readouts;
        state.counters["of_floor"] = of_floor;
        state.counters["stamp_off_ms"] = most_off_ms;
        std::printf("\ncapture at bus pace over %.1f s: %zu whole readouts of %zu; floor %.2f ms a readout "
                    "(%.0f readouts): %.3f of the floor (target at least %.2f: %s); stamps at most "
                    "%.2f ms from their first transfer (target at most %.1f: %s)\n",
                    ran.count(), whole, taken.size(), floor_ms, floor_readouts, of_floor, kLeastOfFloor,
                    of_floor >= kLeastOfFloor ? "met" : "not met", most_off_ms, kMostStampOffMs,
                    most_off_ms <= kMostStampOffMs ? "met" : "not met");
    }
    probe_close();
}
BENCHMARK(BM_CaptureAtBusPace)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
