#include "probe/readings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace readings {

const Channel kChannels[kChannelCount] = {
    {0, Kind::Voltage, "A1 = "},
    {1, Kind::Current, "I supply = "},
    {2, Kind::Voltage, "V target = "},
    {3, Kind::Voltage, "A0 = "},
};

namespace {

float factor(Kind kind) { return kind == Kind::Voltage ? kVoltageFactor : kCurrentFactor; }

// A 16-bit count times a single-precision factor is exact in double, so the
// only rounding is the final one to float.
float scale(uint16_t count, float f) {
    return static_cast<float>(static_cast<double>(count) * static_cast<double>(f) * kCountScale);
}

const char* unit(Kind kind) { return kind == Kind::Voltage ? " V" : " mA"; }
int decimals(Kind kind) { return kind == Kind::Voltage ? 2 : 0; }

}  // namespace

float volts_from_count(uint16_t count) { return scale(count, kVoltageFactor); }

float milliamps_from_count(uint16_t count) {
    const float ma = scale(count, kCurrentFactor);
    return ma <= kCurrentFloorMa ? 0.0f : ma;
}

float reading_from_count(Kind kind, uint16_t count) {
    return kind == Kind::Voltage ? volts_from_count(count) : milliamps_from_count(count);
}

std::string format_reading(Kind kind, float reading) {
    // to_chars ignores the C locale, so the separator is a point whatever
    // locale the toolkit installed.
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, static_cast<double>(reading),
                                      std::chars_format::fixed, decimals(kind));
    if (result.ec != std::errc()) return format_missing(kind);
    return std::string(buf, result.ptr) + unit(kind);
}

std::string format_missing(Kind kind) { return std::string("---") + unit(kind); }

int gauge_value(Kind kind, float reading) {
    const double value = kind == Kind::Voltage ? static_cast<double>(reading) * kGaugeFactor
                                               : static_cast<double>(reading);
    return static_cast<int>(std::trunc(value));
}

int clamp_to_range(int value, int range) {
    if (value < 0) return 0;
    return value > range ? range : value;
}

// What ends a channel's name in its prefix.
constexpr std::string_view kPrefixEnd = " = ";

std::string channel_name(const Channel& channel) {
    const std::string_view prefix = channel.prefix;
    return std::string(prefix.substr(0, prefix.find(kPrefixEnd)));
}

const char* unit_name(Kind kind) { return kind == Kind::Voltage ? "V" : "mA"; }

std::string column_name(const Channel& channel, const char* suffix) {
    std::string name = channel_name(channel) + "_" + suffix;
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

uint16_t count_for_reading(Kind kind, double reading) {
    const double count = std::round(reading / (static_cast<double>(factor(kind)) * kCountScale));
    if (!(count > 0.0)) return 0;  // also catches NaN
    return count >= kConverterMaxCount ? kConverterMaxCount : static_cast<uint16_t>(count);
}

}  // namespace readings
