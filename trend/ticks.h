// Round ticks for the trend's axes: values in 1/2/5 steps, and local times
// from milliseconds to days. Pure functions, GUI-free.
#ifndef TALVIRO_TREND_TICKS_H
#define TALVIRO_TREND_TICKS_H

#include <cstdint>
#include <string>
#include <vector>

namespace trend {

// A value axis: lo..hi are multiples of step that cover the data, step is
// 1, 2 or 5 times a power of ten, and ticks holds lo, lo + step, ..., hi.
struct ValueTicks {
    double lo;
    double hi;
    double step;
    int decimals;                // enough to tell the ticks apart
    std::vector<double> ticks;
    std::vector<std::string> labels;  // each tick with `decimals` decimals
};

// The axis with the finest round step giving at most max_ticks ticks (at
// least 2, and 3 for a range crossing zero) over [min, max], every tick
// finite. A flat range (min == max) widens by 5 % of its value on each side
// (by 1 at zero); a NaN or infinite bound, or one beyond ±1e200, gives 0..1;
// values within ±1e-200 count as zero.
ValueTicks value_ticks(double min, double max, int max_ticks);

struct TimeTick {
    int64_t time_ms;    // UTC milliseconds
    std::string label;  // local time, e.g. "01:33:00.120", "01:33", "2026-12-08"
    bool day;           // falls on a local midnight (its label is the date)
};

// The tick steps the time axis uses, in milliseconds, finest first: 1 ms to
// 30 min in 1/2/5(/15/30) steps, 1..12 h, then whole days.
const std::vector<int64_t>& time_steps();

// The finest step of time_steps() giving at most max_ticks ticks (at least 1)
// in [t0, t1], and its ticks at round local times in that range. Hours and
// days follow the local clock, daylight saving included. Empty for t1 <= t0.
std::vector<TimeTick> time_ticks(double t0_ms, double t1_ms, int max_ticks);
// The step time_ticks chooses.
int64_t time_step(double t0_ms, double t1_ms, int max_ticks);

}  // namespace trend

#endif
