#include "console/time_text.h"

#include <cstdio>
#include <ctime>

namespace console {

namespace {

constexpr int64_t kMsPerSecond = 1000;

// Seconds since 1970 broken down in local time or UTC; false when the C
// library cannot.
bool break_down(int64_t seconds, bool local, std::tm* out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
#ifdef _WIN32
    return (local ? localtime_s(out, &t) : gmtime_s(out, &t)) == 0;
#else
    return (local ? localtime_r(&t, out) : gmtime_r(&t, out)) != nullptr;
#endif
}

}  // namespace

std::string local_time_text(int64_t wall_ms, bool with_date) {
    std::tm local{};
    if (!break_down(wall_ms / kMsPerSecond, true, &local)) return {};
    char text[64];
    const size_t length =
        std::strftime(text, sizeof text, with_date ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &local);
    return std::string(text, length);
}

std::string iso8601_utc(int64_t wall_ms) {
    // Floor division, so times before 1970 still get milliseconds 0..999.
    int64_t seconds = wall_ms / kMsPerSecond;
    int64_t millis = wall_ms % kMsPerSecond;
    if (millis < 0) {
        millis += kMsPerSecond;
        --seconds;
    }
    std::tm utc{};
    if (!break_down(seconds, false, &utc)) return {};
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    if (length == 0) return {};
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(millis));
    return std::string(text, length) + fraction;
}

}  // namespace console
