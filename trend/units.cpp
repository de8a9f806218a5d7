#include "trend/units.h"

#include <cmath>
#include <cstdio>
#include <iterator>

namespace trend {

namespace {

struct Unit {
    const char* name;
    double scale;  // base units in one of it
};

// Each family from its smallest unit up.
constexpr Unit kChargeAh[] = {{"uAh", 3.6}, {"mAh", 3600.0}, {"Ah", 3.6e6}};
constexpr Unit kChargeC[] = {{"uC", 1e-3}, {"mC", 1.0}, {"C", 1e3}};
constexpr Unit kEnergyWh[] = {{"uWh", 3.6}, {"mWh", 3600.0}, {"Wh", 3.6e6}};
constexpr Unit kEnergyJ[] = {{"uJ", 1e-3}, {"mJ", 1.0}, {"J", 1e3}};
constexpr Unit kPower[] = {{"uW", 1e-3}, {"mW", 1.0}, {"W", 1e3}};
constexpr Unit kDuration[] = {{"ms", 1.0}, {"s", 1e3}, {"min", 6e4}, {"h", 3.6e6}, {"d", 8.64e7}};
constexpr Unit kVoltage[] = {{"uV", 1e-6}, {"mV", 1e-3}, {"V", 1.0}};
constexpr Unit kCurrent[] = {{"uA", 1e-3}, {"mA", 1.0}, {"A", 1e3}};

struct Family {
    const Unit* begin;
    const Unit* end;
};

template <size_t N>
constexpr Family family(const Unit (&units)[N]) {
    return {units, units + N};
}

// The unit families a quantity may be written in, the display one first.
struct Families {
    Family first;
    Family second;  // empty when there is one
};

Families families(Quantity quantity) {
    switch (quantity) {
    case Quantity::Charge: return {family(kChargeAh), family(kChargeC)};
    case Quantity::Energy: return {family(kEnergyWh), family(kEnergyJ)};
    case Quantity::Power: return {family(kPower), {}};
    case Quantity::Duration: return {family(kDuration), {}};
    case Quantity::Voltage: return {family(kVoltage), {}};
    case Quantity::Current: return {family(kCurrent), {}};
    }
    return {};
}

// The micro sign in UTF-8, as U+00B5 and as the Greek mu U+03BC.
const char* const kMicroSigns[] = {"\xC2\xB5", "\xCE\xBC"};

std::string ascii_micro(const std::string& unit) {
    for (const char* micro : kMicroSigns) {
        const std::string sign(micro);
        if (unit.compare(0, sign.size(), sign) == 0) return "u" + unit.substr(sign.size());
    }
    return unit;
}

// "uAh" as shown: "µAh".
std::string shown_name(const char* name) {
    return name[0] == 'u' && name[1] != '\0' ? std::string(kMicroSigns[0]) + (name + 1) : name;
}

// value (base units) in the unit of the family that puts it between 1 and
// 1000; zero_unit names the one for 0.
std::string fitted(double value, Family units, const char* zero_unit) {
    if (!std::isfinite(value)) return three_digits(value);
    if (value == 0.0) return "0 " + std::string(zero_unit);
    const Unit* chosen = units.begin;
    for (const Unit* u = units.begin; u != units.end; ++u)
        if (std::fabs(value) >= u->scale) chosen = u;
    std::string digits = three_digits(value / chosen->scale);
    // 999.7 mAh would read "1000 mAh": the next unit says it in three digits.
    if (std::fabs(std::stod(digits)) >= 1000.0 && chosen + 1 != units.end) {
        ++chosen;
        digits = three_digits(value / chosen->scale);
    }
    return digits + " " + shown_name(chosen->name);
}

}  // namespace

double unit_scale(Quantity quantity, const std::string& unit) {
    const std::string name = ascii_micro(unit);
    const Families f = families(quantity);
    for (const Family& fam : {f.first, f.second})
        for (const Unit* u = fam.begin; u != fam.end; ++u)
            if (name == u->name) return u->scale;
    return 0.0;
}

std::string unit_list(Quantity quantity) {
    std::string list;
    const Families f = families(quantity);
    for (const Family& fam : {f.first, f.second})
        for (const Unit* u = fam.begin; u != fam.end; ++u) list += (list.empty() ? "" : ", ") + std::string(u->name);
    return list;
}

std::string three_digits(double value) {
    if (!std::isfinite(value)) return "-";
    const double size = std::fabs(value);
    char text[64];
    if (size >= 99.95)
        std::snprintf(text, sizeof text, "%.0f", value);
    else if (size >= 9.995)
        std::snprintf(text, sizeof text, "%.1f", value);
    else if (size >= 0.9995 || size == 0.0)
        std::snprintf(text, sizeof text, "%.2f", value);
    else
        std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

std::string charge_ah_text(double charge_mC) { return fitted(charge_mC, family(kChargeAh), "mAh"); }
std::string charge_coulomb_text(double charge_mC) { return fitted(charge_mC, family(kChargeC), "C"); }
std::string energy_wh_text(double energy_mJ) { return fitted(energy_mJ, family(kEnergyWh), "mWh"); }
std::string energy_joule_text(double energy_mJ) { return fitted(energy_mJ, family(kEnergyJ), "J"); }
std::string power_text(double power_mW) { return fitted(power_mW, family(kPower), "mW"); }

std::string duration_text(int64_t ms) {
    if (ms < 0) return "-" + duration_text(ms == INT64_MIN ? INT64_MAX : -ms);
    if (ms < 1000) return std::to_string(ms) + " ms";
    if (ms < 60'000) {
        char text[32];
        // Rounded down, so that 59.999 s does not read as a minute.
        std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(ms / 10) / 100.0);
        return text;
    }
    // Two units, each from the table, the smaller one rounded down.
    const Unit* larger = std::end(kDuration) - 1;
    while (static_cast<double>(ms) < larger->scale) --larger;
    const Unit* smaller = larger - 1;
    const auto big = static_cast<int64_t>(larger->scale);
    const auto small = static_cast<int64_t>(smaller->scale);
    return std::to_string(ms / big) + " " + larger->name + " " + std::to_string(ms % big / small) + " " +
           smaller->name;
}

std::string cost_text(double charge_mC, double energy_mJ, double mean_power_mW, int64_t covered_ms,
                      int64_t missing_ms) {
    std::string text = "Charge " + charge_ah_text(charge_mC) + " (" + charge_coulomb_text(charge_mC) +
                       "), energy " + energy_wh_text(energy_mJ) + " (" + energy_joule_text(energy_mJ) +
                       "), mean power " + power_text(mean_power_mW) + ", over " + duration_text(covered_ms) +
                       " covered";
    if (missing_ms > 0) text += "; " + duration_text(missing_ms) + " missing";
    return text;
}

std::string battery_life_text(double capacity_mAh, double mean_mA) {
    const std::string capacity = three_digits(capacity_mAh) + " mAh: ";
    if (!(capacity_mAh > 0.0) || !std::isfinite(capacity_mAh)) return "no capacity given";
    if (!(mean_mA > 0.0)) return capacity + "no current drawn";
    // Far beyond any battery's shelf life a number says nothing more.
    constexpr double kLongestMs = 100.0 * 365.25 * 8.64e7;
    const double ms = capacity_mAh / mean_mA * 3.6e6;
    if (ms >= kLongestMs) return capacity + "over 100 years";
    return capacity + duration_text(static_cast<int64_t>(ms));
}

}  // namespace trend
