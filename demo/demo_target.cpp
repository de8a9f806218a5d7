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

constexpr uint64_t kNoiseStepMs = 100;  // the noise holds still this long

// What one board on the bench does.
struct Board {
    double target_volts, target_noise_volts;
    double supply_milliamps, ripple_milliamps, ripple_period_s, supply_noise_milliamps;
    double a1_mid_volts, a1_swing_volts, a1_period_s;
    double a0_mid_volts, a0_swing_volts, a0_period_s, a0_phase;
    unsigned noise_seed;  // keeps the two boards' noise apart
};

constexpr Board kFirstBoard = {3.3, 0.03, 42.0, 6.0, 2.7, 2.0, 5.0, 3.5, 23.0, 2.5, 2.0, 37.0, 1.0, 0};
constexpr Board kSecondBoard = {1.8, 0.02, 15.0, 3.0, 4.1, 1.0, 7.0, 1.5, 31.0, 0.9, 0.6, 19.0, 2.0, 8};

const char* const kSecondChipSerial = "TV0002";

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

uint16_t board_input(const Board& b, unsigned ch, uint64_t now_ms) {
    const unsigned seed = ch + b.noise_seed;
    switch (ch) {
    case kChannelTarget:
        return readings::count_for_reading(
            Kind::Voltage, b.target_volts + b.target_noise_volts * noise(seed, now_ms));
    case kChannelSupply:
        return readings::count_for_reading(
            Kind::Current, b.supply_milliamps + b.ripple_milliamps * wave(now_ms, b.ripple_period_s) +
                               b.supply_noise_milliamps * noise(seed, now_ms));
    case kChannelA1:
        return readings::count_for_reading(
            Kind::Voltage, b.a1_mid_volts + b.a1_swing_volts * wave(now_ms, b.a1_period_s));
    case kChannelA0:
        return readings::count_for_reading(
            Kind::Voltage, b.a0_mid_volts + b.a0_swing_volts * wave(now_ms, b.a0_period_s, b.a0_phase));
    default:
        return 0;
    }
}

}  // namespace

uint16_t demo_target_input(unsigned ch, uint64_t now_ms) { return board_input(kFirstBoard, ch, now_ms); }

uint16_t second_demo_target_input(unsigned ch, uint64_t now_ms) {
    return board_input(kSecondBoard, ch, now_ms);
}

void use_demo_target() { device().set_input_source(demo_target_input); }

void use_two_demo_targets() {
    use_demo_target();
    const int second = device().add_probe(kSecondChipSerial);
    device().set_input_source(second, second_demo_target_input);
}

}  // namespace sim
