// Converter counts to readings, and readings to display text and gauge values.
// Pure functions with no GUI types, shared by the window and the terminal tool.
#ifndef TALVIRO_PROBE_READINGS_H
#define TALVIRO_PROBE_READINGS_H

#include "probe/converter.h"

#include <cstdint>
#include <string>

namespace readings {

// Full-scale factors of the probe's analogue front end (single precision).
constexpr float kVoltageFactor = 11.410286f;   // volts at count 1024
constexpr float kCurrentFactor = 1050.2565f;   // milliamps at count 1024
constexpr double kCountScale = 1.0 / 1024.0;
constexpr double kGaugeFactor = 100.0;         // a voltage gauge shows 10 mV steps
constexpr float kCurrentFloorMa = 6.0f;        // at or below: shown as 0 mA

enum class Kind { Voltage, Current };

// One row of the readout, in conversion order.
struct Channel {
    uint8_t converter_channel;
    Kind kind;
    const char* prefix;  // "A1 = ", "I supply = ", ...
};
constexpr int kChannelCount = 4;
extern const Channel kChannels[kChannelCount];

// count * factor / 1024 rounded once to single precision.
float volts_from_count(uint16_t count);
// As volts_from_count with the current factor, then the current floor.
float milliamps_from_count(uint16_t count);
float reading_from_count(Kind kind, uint16_t count);

// The channel's prefix without " = ": "A1", "I supply".
std::string channel_name(const Channel& channel);
// The unit a reading of this kind is given in: "V" or "mA".
const char* unit_name(Kind kind);
// The channel's name in a CSV header, with suffix (a unit, or "count"):
// "I_supply_mA". No blanks, which suits every CSV reader.
std::string column_name(const Channel& channel, const char* suffix);

// "%.2f V" or "%.0f mA", always with a point as decimal separator.
std::string format_reading(Kind kind, float reading);
// The text shown when a conversion was not whole: "--- V" or "--- mA".
std::string format_missing(Kind kind);

// Volts * 100 (exact, in double) or milliamps, truncated toward zero.
int gauge_value(Kind kind, float reading);
// gauge limited to 0..range.
int clamp_to_range(int value, int range);

// The count whose reading is nearest to the given one, clamped to 0..1023.
// Lets a simulated input be set in volts or milliamps.
uint16_t count_for_reading(Kind kind, double reading);

}  // namespace readings

#endif
