// The rates at which a window takes the probe's readouts, and their names
// on a command line. Apart from the capture itself, so that a command line
// can name one without linking the probe link.
#ifndef TALVIRO_CONSOLE_CAPTURE_RATE_H
#define TALVIRO_CONSOLE_CAPTURE_RATE_H

#include <cstdint>
#include <string>

namespace console {

// The period that means "as fast as the probe": the next readout starts as
// soon as the last one ended.
constexpr uint64_t kCaptureBusPace = 0;

// The rates a window offers: one readout a second as the measurement
// window's refresh takes them (no capture), one every 100 ms, and as fast as
// the probe gives them (about 32 a second: 248 transfers on the bus).
enum class CaptureRate { Second, Tenth, Bus };
constexpr uint64_t kSecondPeriodMs = 1000;
constexpr uint64_t kTenthPeriodMs = 100;

// The period a capture at rate takes readouts at: kSecondPeriodMs,
// kTenthPeriodMs or kCaptureBusPace.
uint64_t capture_period_ms(CaptureRate rate);

// The rate a command line names: "1s", "0.1s" or "fast". False, leaving
// *rate alone, for any other word.
bool parse_capture_rate(const std::string& text, CaptureRate* rate);

}  // namespace console

#endif
