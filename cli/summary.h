// The figures of a run or a recorded log over a span: each reading's min,
// mean and max, its time-weighted mean, and the charge, energy and mean
// power the target took; as talviro_read prints them, as JSON for scripts,
// and the bounds (--limit) a CI job checks them against. The arithmetic is
// trend::Series's, so a live run and its log give the same figures.
#ifndef TALVIRO_CLI_SUMMARY_H
#define TALVIRO_CLI_SUMMARY_H

#include "trend/series.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// One reading's figures; min, mean, max and time_weighted_mean are NaN
// when whole == 0.
struct ReadingFigures {
    int64_t whole = 0;  // readouts with the reading whole
    int64_t gaps = 0;   // runs of readouts without it
    double min = 0.0;
    double mean = 0.0;  // of the whole readouts, each counting once
    double max = 0.0;
    double time_weighted_mean = 0.0;  // each readout weighted by the time it stands for
};

struct Summary {
    int64_t t0_ms = 0;  // the span [t0, t1), UTC ms
    int64_t t1_ms = 0;
    int64_t readouts = 0;
    int64_t left_out = 0;  // a run's readouts before those the bound kept
    int64_t covered_ms = 0;  // time some readout stands for, gaps left out
    int64_t missing_ms = 0;  // time in gaps
    double charge_mC = 0.0;  // of I supply
    double energy_mJ = 0.0;  // of V target times I supply
    double mean_power_mW = 0.0;
    ReadingFigures reading[trend::kReadingCount];  // trend's row order
};

// The figures of series over [t0_ms, t1_ms): Series::stats and
// Series::integrals, nothing computed here.
Summary summarize(const trend::Series& series, int64_t t0_ms, int64_t t1_ms);

// "Summary of N readouts (min, mean, max):", one line per channel in
// conversion order ("A1: min 1.10 V, mean 1.11 V, max 1.12 V", with the
// readouts that were not whole), then the charge, energy and mean power
// over the time covered, and the missing time when there was any.
std::string summary_text(const Summary& summary);

// The summary as one JSON object, ending with a newline. log names the
// recording it was read from; empty for a live run. Numbers a reading
// without whole readouts lacks are null. The fields are listed in the man
// page (talviro_read.1, "JSON SUMMARY").
std::string summary_json(const Summary& summary, const std::string& log);

// A bound on one figure, from --limit: "I_supply_mA mean<=12",
// "charge<=0.5mAh", "missing<1s".
struct Limit {
    enum class Op { Less, LessOrEqual, Greater, GreaterOrEqual };
    std::string text;  // as given, for the message
    int reading = -1;  // trend row, or -1 for a total of the run
    std::string figure;  // "mean", "charge", ...: a field of the JSON summary
    Op op = Op::LessOrEqual;
    double bound = 0.0;  // in the figure's unit in the JSON summary
};

// Reads a bound: a reading's column name and one of its figures (min,
// mean, max, time_weighted_mean, whole, gaps), or one of the totals
// (readouts, charge, energy, mean_power, covered, missing); then <=, <,
// >= or >; then a number with a unit (a reading's may be left out; charge,
// energy, mean_power, covered and missing need one). Blanks are allowed
// between the parts. Returns a one-line usage error, or empty with *limit
// set.
std::string parse_limit(const std::string& text, Limit* limit);

// The figure the bound is on, in the JSON summary's unit; NaN when the
// summary has none (a reading that was never whole).
double limit_figure(const Limit& limit, const Summary& summary);
// A figure that is NaN breaks every bound.
bool limit_holds(const Limit& limit, const Summary& summary);
// "I_supply_mA mean<=12: the figure is 12.4" for the message of a
// broken bound.
std::string limit_broken_text(const Limit& limit, const Summary& summary);

}  // namespace cli

#endif
