#include "probe/readings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using readings::Kind;

namespace {

uint32_t bits_of(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

std::string shown(Kind kind, uint16_t count) {
    return readings::format_reading(kind, readings::reading_from_count(kind, count));
}

int gauge(Kind kind, uint16_t count) {
    return readings::gauge_value(kind, readings::reading_from_count(kind, count));
}

}  // namespace

TEST(Readings, FactorsAreTheProbesSinglePrecisionConstants) {
    EXPECT_EQ(bits_of(readings::kVoltageFactor), 0x41369088u);
    EXPECT_EQ(bits_of(readings::kCurrentFactor), 0x44834835u);
}

struct WorkedValue {
    uint16_t count;
    const char* volts_text;
    int volts_gauge;
    const char* current_text;
    int current_gauge;
};

TEST(Readings, WorkedValuesOfBothKinds) {
    const WorkedValue table[] = {
        {0, "0.00 V", 0, "0 mA", 0},          {5, "0.06 V", 5, "0 mA", 0},
        {6, "0.07 V", 6, "6 mA", 6},          {100, "1.11 V", 111, "103 mA", 102},
        {315, "3.51 V", 350, "323 mA", 323},  {449, "5.00 V", 500, "461 mA", 460},
        {512, "5.71 V", 570, "525 mA", 525},  {897, "10.00 V", 999, "920 mA", 920},
        {898, "10.01 V", 1000, "921 mA", 921}, {1023, "11.40 V", 1139, "1049 mA", 1049},
    };
    for (const WorkedValue& w : table) {
        SCOPED_TRACE(w.count);
        EXPECT_EQ(shown(Kind::Voltage, w.count), w.volts_text);
        EXPECT_EQ(gauge(Kind::Voltage, w.count), w.volts_gauge);
        EXPECT_EQ(shown(Kind::Current, w.count), w.current_text);
        EXPECT_EQ(gauge(Kind::Current, w.count), w.current_gauge);
    }
}

TEST(Readings, ScalingRoundsOnceToSinglePrecision) {
    EXPECT_EQ(readings::volts_from_count(315), 3.509999990463257f);
    EXPECT_EQ(static_cast<double>(readings::volts_from_count(315)), 3.509999990463257);
    EXPECT_FLOAT_EQ(readings::volts_from_count(897), 9.995143f);
    EXPECT_FLOAT_EQ(readings::milliamps_from_count(1), 0.0f);  // under the floor
    EXPECT_FLOAT_EQ(readings::milliamps_from_count(6), 6.1538463f);
}

TEST(Readings, CurrentFloorHidesCountsUpToFive) {
    for (uint16_t count = 0; count <= 5; ++count) {
        SCOPED_TRACE(count);
        EXPECT_EQ(readings::milliamps_from_count(count), 0.0f);
        EXPECT_EQ(shown(Kind::Current, count), "0 mA");
    }
    EXPECT_GT(readings::milliamps_from_count(6), readings::kCurrentFloorMa);
    // The floor applies to the current only.
    EXPECT_GT(readings::volts_from_count(1), 0.0f);
}

TEST(Readings, GaugeTruncatesTheExactDoubleProduct) {
    // A product formed in single precision would round up to the next unit
    // for these counts before the truncation.
    const struct { uint16_t count; int gauge; } table[] = {
        {315, 350}, {385, 428}, {525, 584}, {630, 701}, {770, 857}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.count);
        const float v = readings::volts_from_count(row.count);
        EXPECT_EQ(readings::gauge_value(Kind::Voltage, v), row.gauge);
        EXPECT_EQ(static_cast<int>(std::trunc(v * 100.0f)), row.gauge + 1);
    }
}

TEST(Readings, FormatRoundsToTheDigitsShownWithAPoint) {
    EXPECT_EQ(readings::format_reading(Kind::Voltage, 3.309429f), "3.31 V");
    EXPECT_EQ(readings::format_reading(Kind::Current, 525.128f), "525 mA");
    EXPECT_EQ(readings::format_reading(Kind::Voltage, 9.995143f), "10.00 V");
    EXPECT_EQ(readings::format_reading(Kind::Current, 0.0f), "0 mA");
    EXPECT_EQ(readings::format_missing(Kind::Voltage), "--- V");
    EXPECT_EQ(readings::format_missing(Kind::Current), "--- mA");
}

TEST(Readings, ClampKeepsValuesInsideTheGaugeRange) {
    const struct { int value, range, expected; } table[] = {
        {0, 500, 0}, {499, 500, 499}, {500, 500, 500}, {501, 500, 500},
        {1139, 500, 500}, {1139, 1000, 1000}, {-1, 1000, 0}, {999, 1000, 999},
    };
    for (const auto& row : table)
        EXPECT_EQ(readings::clamp_to_range(row.value, row.range), row.expected)
            << row.value << " in " << row.range;
}

TEST(Readings, CountForReadingInvertsTheScaleAndClamps) {
    for (uint16_t count : {0, 1, 100, 294, 512, 1022, 1023}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(readings::count_for_reading(Kind::Voltage, readings::volts_from_count(count)),
                  count);
    }
    EXPECT_EQ(readings::count_for_reading(Kind::Current, 103.0), 100);
    EXPECT_EQ(readings::count_for_reading(Kind::Voltage, 3.3), 296);
    EXPECT_EQ(readings::count_for_reading(Kind::Voltage, -2.0), 0);
    EXPECT_EQ(readings::count_for_reading(Kind::Voltage, 50.0), 1023);
    EXPECT_EQ(readings::count_for_reading(Kind::Current, std::numeric_limits<double>::quiet_NaN()),
              0);
}

TEST(Readings, ChannelMapInConversionOrder) {
    const struct { uint8_t channel; Kind kind; const char* prefix; } expected[] = {
        {0, Kind::Voltage, "A1 = "},
        {1, Kind::Current, "I supply = "},
        {2, Kind::Voltage, "V target = "},
        {3, Kind::Voltage, "A0 = "},
    };
    for (int i = 0; i < readings::kChannelCount; ++i) {
        EXPECT_EQ(readings::kChannels[i].converter_channel, expected[i].channel);
        EXPECT_EQ(readings::kChannels[i].kind, expected[i].kind);
        EXPECT_STREQ(readings::kChannels[i].prefix, expected[i].prefix);
    }
}
