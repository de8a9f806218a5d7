// talviro_read_demo: talviro_read on the simulated probe, whose converter
// sees a target that behaves like a real one, so that repeated readouts
// change as they would on a bench.
#include "cli/run.h"
#include "d2xx/sim/sim_probe.h"
#include "probe/readings.h"

#include <cmath>
#include <cstdint>

namespace {

using readings::Kind;

constexpr double kPi = 3.14159265358979323846;
constexpr double kMsPerSecond = 1000.0;

// Converter channels as readings::kChannels wires them.
constexpr unsigned kChannelA1 = 0;
constexpr unsigned kChannelSupply = 1;
constexpr unsigned kChannelTarget = 2;
constexpr unsigned kChannelA0 = 3;

constexpr double kTargetVolts = 3.3;
constexpr double kTargetNoiseVolts = 0.02;
constexpr double kSupplyMilliamps = 38.0;
constexpr double kSupplyRippleMilliamps = 5.0;
constexpr double kSupplyRipplePeriodS = 3.1;
constexpr double kSupplyNoiseMilliamps = 1.5;
constexpr double kA1Volts = 1.2;
constexpr double kA1SwingVolts = 0.4;
constexpr double kA1PeriodS = 47.0;
constexpr double kA0Volts = 0.8;
constexpr double kA0SwingVolts = 0.6;
constexpr double kA0PeriodS = 71.0;
constexpr uint64_t kNoiseStepMs = 50;  // the noise holds still this long

// Deterministic noise in -1..1 for a channel and a time step (a 64-bit mix).
double noise(unsigned channel, uint64_t now_ms) {
    constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;
    constexpr uint64_t kMix1 = 0xFF51AFD7ED558CCDull;
    constexpr uint64_t kMix2 = 0xC4CEB9FE1A85EC53ull;
    constexpr int kShift = 33;
    constexpr uint64_t kSpan = 1u << 20;
    uint64_t x = (now_ms / kNoiseStepMs) * kGolden + channel;
    x = (x ^ (x >> kShift)) * kMix1;
    x = (x ^ (x >> kShift)) * kMix2;
    x ^= x >> kShift;
    return 2.0 * static_cast<double>(x % kSpan) / static_cast<double>(kSpan - 1) - 1.0;
}

double wave(uint64_t now_ms, double period_s) {
    return std::sin(2.0 * kPi * static_cast<double>(now_ms) / kMsPerSecond / period_s);
}

uint16_t drifting_input(unsigned channel, uint64_t now_ms) {
    switch (channel) {
    case kChannelTarget:
        return readings::count_for_reading(
            Kind::Voltage, kTargetVolts + kTargetNoiseVolts * noise(channel, now_ms));
    case kChannelSupply:
        return readings::count_for_reading(
            Kind::Current, kSupplyMilliamps + kSupplyRippleMilliamps * wave(now_ms, kSupplyRipplePeriodS) +
                               kSupplyNoiseMilliamps * noise(channel, now_ms));
    case kChannelA1:
        return readings::count_for_reading(Kind::Voltage, kA1Volts + kA1SwingVolts * wave(now_ms, kA1PeriodS));
    case kChannelA0:
        return readings::count_for_reading(Kind::Voltage, kA0Volts + kA0SwingVolts * wave(now_ms, kA0PeriodS));
    default:
        return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    sim::device().set_input_source(drifting_input);
    return cli::main_program(argc, argv);
}
