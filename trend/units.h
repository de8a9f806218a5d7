// Charge, energy, power and durations as a person reads them: the unit
// chosen to fit ("1.23 mAh", "14.6 J", "12 d 4 h"), and the units a bound
// may be written in. Pure functions; the trend window and talviro_read
// share them. GUI-free.
#ifndef TALVIRO_TREND_UNITS_H
#define TALVIRO_TREND_UNITS_H

#include <cstdint>
#include <string>

namespace trend {

// The base units the integrals come in: readings are in V and mA and times
// in ms, so mA·s is mC and V·mA·s is mJ.
constexpr double kMilliCoulombsPerMilliampHour = 3600.0;
constexpr double kMilliJoulesPerMilliwattHour = 3600.0;
constexpr double kMsPerSecond = 1000.0;

// What a figure measures, each with its base unit.
enum class Quantity {
    Charge,    // mC
    Energy,    // mJ
    Power,     // mW
    Duration,  // ms
    Voltage,   // V (a reading)
    Current,   // mA (a reading)
};

// The base-unit value of one `unit` of the quantity ("mAh" of Charge:
// 3600), or 0 when the quantity is not given in that unit. Accepts "u" for
// the micro sign as well as "µ" (U+00B5 or U+03BC). Durations: ms, s, min,
// h, d.
double unit_scale(Quantity quantity, const std::string& unit);

// The units unit_scale accepts for the quantity, for a usage text:
// "uAh, mAh, Ah, uC, mC, C".
std::string unit_list(Quantity quantity);

// Three significant digits, at most: "123", "12.3", "1.23", "0.123"; "-"
// for NaN or infinity.
std::string three_digits(double value);

// The charge in the battery family of units, the one that puts it between
// 1 and 1000 (the smallest or largest below or beyond): "1.23 mAh".
// 0 is "0 mAh".
std::string charge_ah_text(double charge_mC);
// The same charge in coulombs with a prefix that fits: "4.43 C", "12.3 mC".
std::string charge_coulomb_text(double charge_mC);
// The energy in µWh, mWh or Wh as fits: "4.06 mWh"; 0 is "0 mWh".
std::string energy_wh_text(double energy_mJ);
// The energy in joules with a prefix that fits: "14.6 J"; 0 is "0 J".
std::string energy_joule_text(double energy_mJ);
// The power in µW, mW or W as fits: "3.30 mW"; 0 is "0 mW".
std::string power_text(double power_mW);

// A duration in its two largest units, rounded down: "12 d 4 h",
// "4 h 12 min", "12 min 5 s", "5.20 s", "850 ms"; under 1 ms "0 ms".
// Negative durations are "-" prefixed.
std::string duration_text(int64_t ms);

// "Charge 1.23 mAh (4.43 C), energy 4.06 mWh (14.6 J), mean power 3.30 mW,
// over 1 h 0 min covered", and "; 3.00 s missing" after it when
// missing_ms > 0: the figures of Series::integrals as talviro_read's summary
// and the trend window's statistics give them.
std::string cost_text(double charge_mC, double energy_mJ, double mean_power_mW, int64_t covered_ms,
                      int64_t missing_ms);

// How long a battery of capacity_mAh lasts at a mean current of mean_mA:
// "220 mAh: 12 d 4 h". Without a positive current the reason instead of
// the time: "220 mAh: no current drawn"; without a positive finite
// capacity, "no capacity given".
std::string battery_life_text(double capacity_mAh, double mean_mA);

}  // namespace trend

#endif
