#include "trend/civil.h"

#include <ctime>

namespace trend {

namespace {

// The number of the n digits at text[at]; -1 unless all are digits.
int number(const std::string& text, size_t at, size_t n) {
    if (at + n > text.size()) return -1;
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int kMinutesPerHour = 60;

}  // namespace

std::optional<int64_t> parse_time(const std::string& text) {
    // YYYY-MM-DDTHH:MM
    if (text.size() < 16 || text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ') ||
        text[13] != ':')
        return std::nullopt;
    const int year = number(text, 0, 4), month = number(text, 5, 2), day = number(text, 8, 2);
    const int hour = number(text, 11, 2), minute = number(text, 14, 2);
    int second = 0, ms = 0;
    size_t at = 16;
    if (at < text.size() && text[at] == ':') {
        second = number(text, at + 1, 2);
        at += 3;
        if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
            // Milliseconds; finer digits are cut off.
            size_t digits = 0;
            for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
                if (digits < 3) ms = ms * 10 + (text[at] - '0');
            if (digits == 0) return std::nullopt;
            for (; digits < 3; ++digits) ms *= 10;
        }
    }
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    // The day must exist in its month.
    int y = 0, m = 0, d = 0;
    trend::civil_from_days(trend::days_from_civil(year, month, day), &y, &m, &d);
    if (d != day) return std::nullopt;
    const int64_t clock_s = trend::days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 +
                            second;
    const std::string zone = text.substr(at);
    if (zone == "Z" || zone == "z") return clock_s * kMsPerSecond + ms;
    if (!zone.empty()) {
        // +HH, +HHMM or +HH:MM
        const int sign = zone[0] == '+' ? 1 : zone[0] == '-' ? -1 : 0;
        const bool colon = zone.size() == 6 && zone[3] == ':';
        if (sign == 0 || (zone.size() != 3 && zone.size() != 5 && !colon)) return std::nullopt;
        const int hours = number(zone, 1, 2), minutes = zone.size() == 3 ? 0 : number(zone, colon ? 4 : 3, 2);
        if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
        return (clock_s - sign * (hours * kMinutesPerHour + minutes) * 60) * kMsPerSecond + ms;
    }
    // No zone: the local clock's reading, as the time axis shows it.
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t t = std::mktime(&local);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<int64_t>(t) * kMsPerSecond + ms;
}

std::string read_time_option(const std::string& name, const std::string& value, std::optional<int64_t>* out) {
    *out = parse_time(value);
    if (!*out)
        return name + ": expected an ISO 8601 time, like 2026-12-08T01:33:00.123Z, 2026-12-08T02:33+01:00 or "
                      "local 2026-12-08T02:33:00: " +
               value;
    return {};
}

}  // namespace trend
