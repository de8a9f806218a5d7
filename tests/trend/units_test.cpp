// Charge, energy, power and durations as the window and talviro_read write
// them, at the edges where the unit changes, and the units a bound takes.
#include "trend/units.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using trend::Quantity;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int64_t kMinute = 60'000;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;

TEST(trendUnits, ChargeEnergyAndPowerTable) {
    struct Row {
        std::string (*format)(double);
        double value;
        const char* text;
    };
    const Row rows[] = {
        {trend::charge_ah_text, 0.0, "0 mAh"},
        {trend::charge_ah_text, 3.6, "1.00 \xC2\xB5" "Ah"},
        {trend::charge_ah_text, 3.59, "0.997 \xC2\xB5" "Ah"},  // below the smallest unit
        {trend::charge_ah_text, 3580.0, "994 \xC2\xB5" "Ah"},
        {trend::charge_ah_text, 3599.0, "1.00 mAh"},  // not "1000 µAh"
        {trend::charge_ah_text, 3600.0, "1.00 mAh"},
        {trend::charge_ah_text, 3600.0 * 999.6, "1.00 Ah"},   // not "1000 mAh"
        {trend::charge_ah_text, 3600.0 * 12.345, "12.3 mAh"},
        {trend::charge_ah_text, 3.6e6 * 1500.0, "1500 Ah"},   // beyond the largest unit
        {trend::charge_ah_text, -3600.0 * 2.5, "-2.50 mAh"},
        {trend::charge_ah_text, kNaN, "-"},
        {trend::charge_coulomb_text, 0.0, "0 C"},
        {trend::charge_coulomb_text, 999.0, "999 mC"},
        {trend::charge_coulomb_text, 1000.0, "1.00 C"},
        {trend::charge_coulomb_text, 0.5, "500 \xC2\xB5" "C"},
        {trend::energy_wh_text, 0.0, "0 mWh"},
        {trend::energy_wh_text, 3600.0 * 4.06, "4.06 mWh"},
        {trend::energy_wh_text, 3.6e6 * 2.0, "2.00 Wh"},
        {trend::energy_joule_text, 14600.0, "14.6 J"},
        {trend::energy_joule_text, 0.25, "250 \xC2\xB5J"},
        {trend::power_text, 3.3, "3.30 mW"},
        {trend::power_text, 1234.0, "1.23 W"},
        {trend::power_text, 0.0123, "12.3 \xC2\xB5W"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.format(row.value), row.text) << row.value;
}

TEST(trendUnits, ThreeDigitsTable) {
    const std::pair<double, const char*> rows[] = {
        {0.0, "0.00"}, {1.0, "1.00"}, {9.994, "9.99"}, {9.996, "10.0"}, {99.94, "99.9"},
        {99.96, "100"}, {123456.0, "123456"}, {0.1234, "0.123"}, {-5.0, "-5.00"},
        {std::numeric_limits<double>::infinity(), "-"},
    };
    for (const auto& [value, text] : rows) EXPECT_EQ(trend::three_digits(value), text) << value;
}

TEST(trendUnits, DurationTable) {
    const std::pair<int64_t, const char*> rows[] = {
        {0, "0 ms"},
        {999, "999 ms"},
        {1000, "1.00 s"},
        {59'999, "59.99 s"},
        {kMinute, "1 min 0 s"},
        {12 * kMinute + 5'999, "12 min 5 s"},
        {kHour - 1, "59 min 59 s"},
        {kHour, "1 h 0 min"},
        {4 * kHour + 12 * kMinute, "4 h 12 min"},
        {kDay - 1, "23 h 59 min"},
        {kDay, "1 d 0 h"},
        {12 * kDay + 4 * kHour + kHour - 1, "12 d 4 h"},
        {-1500, "-1.50 s"},
    };
    for (const auto& [ms, text] : rows) EXPECT_EQ(trend::duration_text(ms), text) << ms;
}

TEST(trendUnits, CostLine) {
    EXPECT_EQ(trend::cost_text(3600.0 * 1.234, 3600.0 * 4.06, 3.3, kHour, 0),
              "Charge 1.23 mAh (4.44 C), energy 4.06 mWh (14.6 J), mean power 3.30 mW, over 1 h 0 min covered");
    EXPECT_EQ(trend::cost_text(0.0, 0.0, kNaN, 0, 3000),
              "Charge 0 mAh (0 C), energy 0 mWh (0 J), mean power -, over 0 ms covered; 3.00 s missing");
}

TEST(trendUnits, BatteryLifeAtAMeanCurrent) {
    // 220 mAh at 0.75 mA: 293.33 h, 12 d 5 h 20 min.
    EXPECT_EQ(trend::battery_life_text(220.0, 0.75), "220 mAh: 12 d 5 h");
    EXPECT_EQ(trend::battery_life_text(220.0, 220.0), "220 mAh: 1 h 0 min");
    EXPECT_EQ(trend::battery_life_text(220.0, 0.0), "220 mAh: no current drawn");
    EXPECT_EQ(trend::battery_life_text(220.0, kNaN), "220 mAh: no current drawn");
    EXPECT_EQ(trend::battery_life_text(220.0, 1e-9), "220 mAh: over 100 years");
    EXPECT_EQ(trend::battery_life_text(0.0, 1.0), "no capacity given");
}

TEST(trendUnits, UnitScalesForBounds) {
    struct Row {
        Quantity quantity;
        const char* unit;
        double scale;
    };
    const Row rows[] = {
        {Quantity::Charge, "mAh", 3600.0},  {Quantity::Charge, "uAh", 3.6},
        {Quantity::Charge, "\xC2\xB5" "Ah", 3.6}, {Quantity::Charge, "\xCE\xBC" "Ah", 3.6},
        {Quantity::Charge, "Ah", 3.6e6},    {Quantity::Charge, "C", 1000.0},
        {Quantity::Charge, "mC", 1.0},      {Quantity::Charge, "J", 0.0},
        {Quantity::Charge, "mah", 0.0},     {Quantity::Charge, "", 0.0},
        {Quantity::Energy, "mWh", 3600.0},  {Quantity::Energy, "J", 1000.0},
        {Quantity::Power, "W", 1000.0},     {Quantity::Power, "uW", 1e-3},
        {Quantity::Duration, "min", 6e4},   {Quantity::Duration, "d", 8.64e7},
        {Quantity::Voltage, "mV", 1e-3},    {Quantity::Current, "A", 1000.0},
        {Quantity::Current, "V", 0.0},
    };
    for (const Row& row : rows)
        EXPECT_EQ(trend::unit_scale(row.quantity, row.unit), row.scale) << row.unit;
    EXPECT_EQ(trend::unit_list(Quantity::Charge), "uAh, mAh, Ah, uC, mC, C");
}

}  // namespace
