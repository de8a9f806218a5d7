// Days since 1970-01-01 and dates of the proleptic Gregorian calendar, both
// ways, without the C library's time zone: for UTC times in logs and for the
// local clock's readings on the time axis; and the times a user types.
#ifndef TALVIRO_TREND_CIVIL_H
#define TALVIRO_TREND_CIVIL_H

#include <cstdint>
#include <optional>
#include <string>

namespace trend {

constexpr int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

constexpr void civil_from_days(int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

// An ISO 8601 time, YYYY-MM-DDTHH:MM[:SS[.fff]] (a space for the T, a
// comma for the point; digits past milliseconds cut off) followed by Z, an
// offset (+HH, +HHMM, +HH:MM) or nothing, as UTC milliseconds since 1970.
// Without a zone it is the local clock's reading (the TZ variable's zone on
// Linux, the system's on Windows), as the picture's time axis shows it; a
// reading the clock skips or shows twice when it is set is taken as the C
// library's mktime takes it. Nothing for any other text.
// What --from and --to take in talviro_gui --save-image and talviro_read --log.
std::optional<int64_t> parse_time(const std::string& text);
// The time option name (--from, --to) given value: parse_time's time in
// *out and "", or the usage error naming the option and the forms it takes.
std::string read_time_option(const std::string& name, const std::string& value, std::optional<int64_t>* out);

}  // namespace trend

#endif
