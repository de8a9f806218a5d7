#include "cli/summary.h"

#include "console/time_text.h"
#include "probe/readings.h"
#include "trend/units.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace cli {

namespace {

using trend::Quantity;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The trend row of channel i of readings::kChannels.
int row_of_channel(int channel) {
    for (int r = 0; r < trend::kReadingCount; ++r)
        if (trend::reading_channel(r) == channel) return r;
    return 0;
}

readings::Kind kind_of_row(int reading) { return readings::kChannels[trend::reading_channel(reading)].kind; }

Quantity quantity_of_row(int reading) {
    return kind_of_row(reading) == readings::Kind::Voltage ? Quantity::Voltage : Quantity::Current;
}

// Round-trips a double; JSON has no NaN, so a figure that is not there is null.
std::string json_number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string json_string(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

double seconds(int64_t ms) { return static_cast<double>(ms) / trend::kMsPerSecond; }

// The totals a bound may name, each with its quantity; Duration ones are
// given in seconds in the JSON summary.
struct Total {
    const char* name;
    bool has_unit;
    Quantity quantity;
};
constexpr Total kTotals[] = {
    {"readouts", false, Quantity::Duration}, {"charge", true, Quantity::Charge},
    {"energy", true, Quantity::Energy},      {"mean_power", true, Quantity::Power},
    {"covered", true, Quantity::Duration},   {"missing", true, Quantity::Duration},
};
const char* const kReadingFigures[] = {"min", "mean", "max", "time_weighted_mean", "whole", "gaps"};

bool is_count_figure(const std::string& figure) {
    return figure == "whole" || figure == "gaps" || figure == "readouts";
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

Summary summarize(const trend::Series& series, int64_t t0_ms, int64_t t1_ms) {
    Summary s;
    s.t0_ms = t0_ms;
    s.t1_ms = t1_ms;
    const trend::Integrals in = series.integrals(t0_ms, t1_ms);
    s.readouts = in.readouts;
    s.covered_ms = in.covered_ms;
    s.missing_ms = in.gap_ms;
    s.charge_mC = in.charge_mC;
    s.energy_mJ = in.energy_mJ;
    s.mean_power_mW = in.mean_power_mW;
    for (int r = 0; r < trend::kReadingCount; ++r) {
        const trend::Stats stats = series.stats(r, t0_ms, t1_ms);
        ReadingFigures& f = s.reading[r];
        f.whole = stats.whole;
        f.gaps = stats.gaps;
        f.min = stats.whole > 0 ? stats.min : kNaN;
        f.mean = stats.whole > 0 ? stats.mean : kNaN;
        f.max = stats.whole > 0 ? stats.max : kNaN;
        f.time_weighted_mean = stats.whole > 0 ? in.mean[r] : kNaN;
    }
    return s;
}

std::string summary_text(const Summary& summary) {
    const int64_t n = summary.readouts;
    std::string text = "Summary of " + std::string(summary.left_out > 0 ? "the last " : "") + std::to_string(n) +
                       (n == 1 ? " readout" : " readouts") + " (min, mean, max)" +
                       (summary.left_out > 0 ? ", the " + std::to_string(summary.left_out) + " before them left out" : "") +
                       ":\n";
    for (int i = 0; i < readings::kChannelCount; ++i) {
        const readings::Channel& channel = readings::kChannels[i];
        const ReadingFigures& f = summary.reading[row_of_channel(i)];
        text += readings::channel_name(channel) + ": ";
        if (f.whole == 0) {
            text += "no whole conversion";
        } else {
            auto shown = [&](double reading) {
                return readings::format_reading(channel.kind, static_cast<float>(reading));
            };
            text += "min " + shown(f.min) + ", mean " + shown(f.mean) + ", max " + shown(f.max);
            if (n > f.whole) text += " (" + std::to_string(n - f.whole) + " not whole)";
        }
        text += '\n';
    }
    return text + trend::cost_text(summary.charge_mC, summary.energy_mJ, summary.mean_power_mW, summary.covered_ms,
                                   summary.missing_ms) +
           "\n";
}

std::string summary_json(const Summary& summary, const std::string& log) {
    std::string json = "{\n";
    if (!log.empty()) json += "  \"log\": " + json_string(log) + ",\n";
    json += "  \"from\": " + json_string(console::iso8601_utc(summary.t0_ms)) + ",\n";
    json += "  \"to\": " + json_string(console::iso8601_utc(summary.t1_ms)) + ",\n";
    json += "  \"readouts\": " + std::to_string(summary.readouts) + ",\n";
    json += "  \"left_out\": " + std::to_string(summary.left_out) + ",\n";
    json += "  \"covered_s\": " + json_number(seconds(summary.covered_ms)) + ",\n";
    json += "  \"missing_s\": " + json_number(seconds(summary.missing_ms)) + ",\n";
    json += "  \"charge_mC\": " + json_number(summary.charge_mC) + ",\n";
    json += "  \"charge_mAh\": " + json_number(summary.charge_mC / trend::kMilliCoulombsPerMilliampHour) + ",\n";
    json += "  \"energy_mJ\": " + json_number(summary.energy_mJ) + ",\n";
    json += "  \"energy_mWh\": " + json_number(summary.energy_mJ / trend::kMilliJoulesPerMilliwattHour) + ",\n";
    json += "  \"mean_power_mW\": " + json_number(summary.mean_power_mW) + ",\n";
    json += "  \"readings\": {\n";
    for (int r = 0; r < trend::kReadingCount; ++r) {
        const ReadingFigures& f = summary.reading[r];
        json += "    " + json_string(trend::reading_column(r)) + ": {\"whole\": " + std::to_string(f.whole) +
                ", \"gaps\": " + std::to_string(f.gaps) + ", \"min\": " + json_number(f.min) +
                ", \"mean\": " + json_number(f.mean) + ", \"max\": " + json_number(f.max) +
                ", \"time_weighted_mean\": " + json_number(f.time_weighted_mean) + "}" +
                (r + 1 < trend::kReadingCount ? ",\n" : "\n");
    }
    return json + "  }\n}\n";
}

std::string parse_limit(const std::string& text, Limit* limit) {
    const std::string usage = "--limit '" + text + "': ";
    const std::string form =
        "expected a reading and a figure, or a total, then <=, <, >= or >, and a bound, "
        "like \"I_supply_mA mean<=12\" or \"charge<=0.5mAh\"";
    Limit l;
    l.text = text;
    size_t i = 0;
    auto skip_blanks = [&] {
        while (i < text.size() && is_blank(text[i])) ++i;
    };
    auto word = [&] {
        skip_blanks();
        const size_t start = i;
        while (i < text.size() && is_name_char(text[i])) ++i;
        return text.substr(start, i - start);
    };
    const std::string name = word();
    Quantity quantity = Quantity::Duration;
    bool needs_unit = false;
    bool has_unit = true;
    for (int r = 0; r < trend::kReadingCount; ++r)
        if (name == trend::reading_column(r)) l.reading = r;
    if (l.reading >= 0) {
        l.figure = word();
        bool known = false;
        for (const char* figure : kReadingFigures) known = known || l.figure == figure;
        if (!known)
            return usage + name + " needs one of min, mean, max, time_weighted_mean, whole, gaps" +
                   (l.figure.empty() ? std::string() : ", not " + l.figure);
        quantity = quantity_of_row(l.reading);
        has_unit = !is_count_figure(l.figure);
    } else {
        const Total* total = nullptr;
        for (const Total& t : kTotals)
            if (name == t.name) total = &t;
        if (total == nullptr) {
            std::string names;
            for (int r = 0; r < trend::kReadingCount; ++r) names += trend::reading_column(r) + ", ";
            return usage + (name.empty() ? form
                                         : "no reading or total is called '" + name + "'; there are " + names +
                                               "readouts, charge, energy, mean_power, covered and missing");
        }
        l.figure = name;
        quantity = total->quantity;
        has_unit = needs_unit = total->has_unit;
    }

    skip_blanks();
    const std::pair<const char*, Limit::Op> ops[] = {{"<=", Limit::Op::LessOrEqual},
                                                     {">=", Limit::Op::GreaterOrEqual},
                                                     {"<", Limit::Op::Less},
                                                     {">", Limit::Op::Greater}};
    bool op_found = false;
    for (const auto& [op_word, op] : ops) {
        const std::string w(op_word);
        if (!op_found && text.compare(i, w.size(), w) == 0) {
            l.op = op;
            i += w.size();
            op_found = true;
        }
    }
    if (!op_found) return usage + form;

    skip_blanks();
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data() + i, end, l.bound);
    if (parsed.ec != std::errc() || !std::isfinite(l.bound)) return usage + "the bound is not a number";
    i = static_cast<size_t>(parsed.ptr - text.data());
    skip_blanks();
    std::string unit = text.substr(i);
    while (!unit.empty() && is_blank(unit.back())) unit.pop_back();

    if (!has_unit) {
        if (!unit.empty()) return usage + l.figure + " is a count and takes no unit";
        *limit = l;
        return {};
    }
    if (unit.empty()) {
        if (needs_unit) return usage + l.figure + " needs a unit: " + trend::unit_list(quantity);
        *limit = l;  // in the reading's own unit
        return {};
    }
    const double scale = trend::unit_scale(quantity, unit);
    if (scale == 0.0)
        return usage + "'" + unit + "' is not a unit of " + (l.reading >= 0 ? name : l.figure) + "; use " +
               trend::unit_list(quantity);
    // Bounds are kept in the JSON summary's units: durations in seconds.
    l.bound *= quantity == Quantity::Duration ? scale / trend::kMsPerSecond : scale;
    *limit = l;
    return {};
}

double limit_figure(const Limit& limit, const Summary& summary) {
    if (limit.reading >= 0) {
        const ReadingFigures& f = summary.reading[limit.reading];
        if (limit.figure == "whole") return static_cast<double>(f.whole);
        if (limit.figure == "gaps") return static_cast<double>(f.gaps);
        if (f.whole == 0) return kNaN;
        if (limit.figure == "min") return f.min;
        if (limit.figure == "max") return f.max;
        if (limit.figure == "time_weighted_mean") return f.time_weighted_mean;
        return f.mean;
    }
    if (limit.figure == "readouts") return static_cast<double>(summary.readouts);
    if (limit.figure == "charge") return summary.charge_mC;
    if (limit.figure == "energy") return summary.energy_mJ;
    if (limit.figure == "mean_power") return summary.mean_power_mW;
    if (limit.figure == "covered") return seconds(summary.covered_ms);
    return seconds(summary.missing_ms);
}

bool limit_holds(const Limit& limit, const Summary& summary) {
    const double figure = limit_figure(limit, summary);
    switch (limit.op) {
    case Limit::Op::Less: return figure < limit.bound;
    case Limit::Op::LessOrEqual: return figure <= limit.bound;
    case Limit::Op::Greater: return figure > limit.bound;
    case Limit::Op::GreaterOrEqual: return figure >= limit.bound;
    }
    return false;
}

std::string limit_broken_text(const Limit& limit, const Summary& summary) {
    const double figure = limit_figure(limit, summary);
    std::string shown;
    if (std::isnan(figure))
        shown = "none: no whole readout";
    else if (is_count_figure(limit.figure))
        shown = std::to_string(static_cast<int64_t>(figure));
    else if (limit.reading >= 0)
        shown = trend::three_digits(figure) + " " + trend::reading_unit(limit.reading);
    else if (limit.figure == "charge")
        shown = trend::charge_ah_text(figure);
    else if (limit.figure == "energy")
        shown = trend::energy_wh_text(figure);
    else if (limit.figure == "mean_power")
        shown = trend::power_text(figure);
    else
        shown = trend::duration_text(limit.figure == "covered" ? summary.covered_ms : summary.missing_ms);
    return limit.text + " (" + limit.figure + " " + shown + ")";
}

}  // namespace cli
