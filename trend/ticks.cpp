#include "trend/ticks.h"

#include "trend/civil.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace trend {

namespace {

constexpr double kRoundMantissas[] = {1.0, 2.0, 5.0};
// A flat range widens by this share of its value on each side (or by 1 at 0).
constexpr double kFlatWiden = 0.05;
// No step finer than this share of the values: beyond double's digits.
constexpr double kFinestShare = 1e-12;
// Values nearer zero than this are zero; farther from it give 0..1 (their
// steps' powers of ten would leave double's range).
constexpr double kSmallest = 1e-200;
constexpr double kLargest = 1e200;

constexpr int64_t kMs = 1;
constexpr int64_t kSecond = 1000 * kMs;
constexpr int64_t kMinute = 60 * kSecond;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool local_tm(int64_t seconds, std::tm* out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
#ifdef _WIN32
    return localtime_s(out, &t) == 0;
#else
    return localtime_r(&t, out) != nullptr;
#endif
}

// Milliseconds since 1970 of the local clock's reading at UTC time t.
int64_t local_clock(int64_t t_ms) {
    const int64_t seconds = floor_div(t_ms, kSecond);
    std::tm tm{};
    if (!local_tm(seconds, &tm)) return t_ms;
    const int64_t local_seconds = days_from_civil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) * 86400 +
                                  tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    return local_seconds * kSecond + (t_ms - seconds * kSecond);
}

// UTC milliseconds of local midnight starting the given local day number;
// UTC midnight where the system cannot tell (Windows' mktime refuses
// years before 1970 and after 3000), as local_clock falls back to UTC.
int64_t local_midnight(int64_t day) {
    int y, m, d;
    civil_from_days(day, &y, &m, &d);
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return day * kDay;
    return static_cast<int64_t>(t) * kSecond;
}

std::string format_local(int64_t local_ms, int64_t step_ms) {
    const int64_t day = floor_div(local_ms, kDay);
    const int64_t in_day = local_ms - day * kDay;
    char text[40];
    if (step_ms >= kDay || in_day == 0) {
        int y, m, d;
        civil_from_days(day, &y, &m, &d);
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
    } else {
        const int h = static_cast<int>(in_day / kHour), min = static_cast<int>(in_day / kMinute % 60);
        const int s = static_cast<int>(in_day / kSecond % 60), ms = static_cast<int>(in_day % kSecond);
        if (step_ms < kSecond)
            std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", h, min, s, ms);
        else if (step_ms < kMinute)
            std::snprintf(text, sizeof text, "%02d:%02d:%02d", h, min, s);
        else
            std::snprintf(text, sizeof text, "%02d:%02d", h, min);
    }
    return text;
}

std::string format_value(double v, int decimals) {
    char text[64];
    // + 0.0: a tick at -0.0 reads as zero.
    std::snprintf(text, sizeof text, "%.*f", decimals, v + 0.0);
    return text;
}

// mantissa * 10^exponent, correctly rounded: std::pow's last bit differs
// between C libraries (Windows' is off for 10^-2), which moves ticks.
double round_step(double mantissa, int exponent) {
    double power = 1.0;
    for (int i = 0; i < std::abs(exponent); ++i) power *= 10.0;  // exact up to 10^22
    return exponent >= 0 ? mantissa * power : mantissa / power;
}

}  // namespace

ValueTicks value_ticks(double min, double max, int max_ticks) {
    if (!std::isfinite(min) || !std::isfinite(max) || !std::isfinite(max - min) ||
        std::max(std::fabs(min), std::fabs(max)) > kLargest) {
        min = 0.0;
        max = 1.0;
    }
    if (min > max) std::swap(min, max);
    // Beyond double's digits a step could not be told from zero.
    if (std::max(std::fabs(min), std::fabs(max)) < kSmallest) min = max = 0.0;
    if (min == max) {
        const double widen = min == 0.0 ? 1.0 : std::fabs(min) * kFlatWiden;
        min -= widen;
        max += widen;
    }
    // Two multiples of a step never hold both sides of zero.
    max_ticks = std::max(min < 0.0 && max > 0.0 ? 3 : 2, max_ticks);
    const double finest = std::max(std::fabs(min), std::fabs(max)) * kFinestShare;
    const double rough = std::max((max - min) / max_ticks, finest);
    ValueTicks axis{};
    // A step of 10^(|max| digits + 1) gives at most 3 ticks: the loop ends.
    for (int exponent = static_cast<int>(std::floor(std::log10(rough))) - 1;; ++exponent) {
        const double power = round_step(1.0, std::abs(exponent));
        for (const double mantissa : kRoundMantissas) {
            // Scaled by the power of ten first: 0.3 * 10 is 3, 0.3 / 0.1 is not.
            auto steps = [&](double v) { return exponent >= 0 ? v / (mantissa * power) : v * power / mantissa; };
            auto tick = [&](double k) { return exponent >= 0 ? k * mantissa * power : k * mantissa / power; };
            const double k_lo = std::floor(steps(min)), k_hi = std::ceil(steps(max));
            if (k_hi - k_lo + 1 > max_ticks) continue;
            axis.step = tick(1.0);
            axis.lo = tick(k_lo);
            axis.hi = tick(k_hi);
            axis.decimals = std::max(0, -exponent);
            for (double k = k_lo; k <= k_hi; ++k) {
                axis.ticks.push_back(tick(k));
                axis.labels.push_back(format_value(tick(k), axis.decimals));
            }
            return axis;
        }
    }
}

const std::vector<int64_t>& time_steps() {
    static const std::vector<int64_t> steps = [] {
        std::vector<int64_t> s = {1, 2, 5, 10, 20, 50, 100, 200, 500,
                                  kSecond, 2 * kSecond, 5 * kSecond, 10 * kSecond, 15 * kSecond, 30 * kSecond,
                                  kMinute, 2 * kMinute, 5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute,
                                  kHour, 2 * kHour, 3 * kHour, 6 * kHour, 12 * kHour};
        for (int64_t days = 1; days <= 100000; days *= 10)
            for (const int64_t m : {1, 2, 5}) s.push_back(m * days * kDay);
        return s;
    }();
    return steps;
}

int64_t time_step(double t0_ms, double t1_ms, int max_ticks) {
    const double span = std::max(0.0, t1_ms - t0_ms);
    max_ticks = std::max(1, max_ticks);
    for (const int64_t step : time_steps())
        if (std::floor(span / static_cast<double>(step)) + 1 <= max_ticks) return step;
    return time_steps().back();
}

std::vector<TimeTick> time_ticks(double t0_ms, double t1_ms, int max_ticks) {
    std::vector<TimeTick> ticks;
    if (!(t1_ms > t0_ms)) return ticks;
    const int64_t step = time_step(t0_ms, t1_ms, max_ticks);
    const int64_t first = static_cast<int64_t>(std::ceil(t0_ms));
    const int64_t last = static_cast<int64_t>(std::floor(t1_ms));
    auto add = [&](int64_t t) {
        const int64_t local = local_clock(t);
        const bool day = floor_div(local, kDay) * kDay == local;
        ticks.push_back({t, format_local(local, step), day});
    };
    if (step >= kDay) {
        const int64_t days = step / kDay;
        int64_t day = floor_div(local_clock(first), kDay);
        day = floor_div(day + days - 1, days) * days;
        for (int64_t t = local_midnight(day); t <= last; day += days, t = local_midnight(day))
            if (t >= first) add(t);
        return ticks;
    }
    // The local clock's offset changes with daylight saving: each tick is
    // placed on a round local reading, found again after every change.
    int64_t t = first;
    while (t <= last) {
        const int64_t offset = local_clock(t) - t;
        int64_t tick = floor_div(t + offset + step - 1, step) * step - offset;
        if (local_clock(tick) - tick != offset) {
            // Across a change: the first round reading of the new offset.
            const int64_t after = local_clock(tick) - tick;
            tick = std::max(floor_div(tick + after + step - 1, step) * step - after, t);
            if (local_clock(tick) - tick != after) tick = t;
        }
        if (tick > last) break;
        if (tick >= first && (ticks.empty() || tick > ticks.back().time_ms)) add(tick);
        t = tick + step;
    }
    return ticks;
}

}  // namespace trend
