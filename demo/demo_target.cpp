#include "demo/demo_target.h"

#include "probe/readings.h"

#include <cmath>

namespace sim {
namespace {

using readings::Kind;

constexpr double kPi = 3.14159265358979323846;
constexpr double kMsPerSecond = 1000.0;

// Converter channels as the readout wires them.
constexpr unsigned kChannelA1 = 0;
constexpr unsigned kChannelSupply = 1;
constexpr unsigned kChannelTarget = 2;
constexpr unsigned kChannelA0 = 3;

constexpr double kTargetVolts = 3.3;
constexpr double kTargetNoiseVolts = 0.03;
constexpr double kSupplyMilliamps = 42.0;
constexpr double kSupplyRippleMilliamps = 6.0;
constexpr double kSupplyRipplePeriodS = 2.7;
constexpr double kSupplyNoiseMilliamps = 2.0;
constexpr uint64_t kNoiseStepMs = 100;  // the noise holds still this long
constexpr double kA1MidVolts = 5.0, kA1SwingVolts = 3.5, kA1PeriodS = 23.0;
constexpr double kA0MidVolts = 2.5, kA0SwingVolts = 2.0, kA0PeriodS = 37.0, kA0Phase = 1.0;

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

double wave(uint64_t now_ms, double period_s, double phase = 0.0) {
    return std::sin(2.0 * kPi * static_cast<double>(now_ms) / kMsPerSecond / period_s + phase);
}

}  // namespace

uint16_t demo_target_input(unsigned ch, uint64_t now_ms) {
    switch (ch) {
    case kChannelTarget:
        return readings::count_for_reading(
            Kind::Voltage, kTargetVolts + kTargetNoiseVolts * noise(ch, now_ms));
    case kChannelSupply:
        return readings::count_for_reading(
            Kind::Current, kSupplyMilliamps +
                               kSupplyRippleMilliamps * wave(now_ms, kSupplyRipplePeriodS) +
                               kSupplyNoiseMilliamps * noise(ch, now_ms));
    case kChannelA1:
        return readings::count_for_reading(Kind::Voltage,
                                           kA1MidVolts + kA1SwingVolts * wave(now_ms, kA1PeriodS));
    case kChannelA0:
        return readings::count_for_reading(
            Kind::Voltage, kA0MidVolts + kA0SwingVolts * wave(now_ms, kA0PeriodS, kA0Phase));
    default:
        return 0;
    }
}

void use_demo_target() { device().set_input_source(demo_target_input); }

}  // namespace sim
