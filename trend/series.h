// The readouts of a trend in time order, with min/max/sum levels beside them
// so that drawing any zoom costs the pixels, not the readouts. GUI-free.
#ifndef TALVIRO_TREND_SERIES_H
#define TALVIRO_TREND_SERIES_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trend {

// Readings in the trend window's row order, top to bottom.
constexpr int kReadingCount = 4;
enum Reading : int { kVTarget = 0, kISupply = 1, kA0 = 2, kA1 = 3 };

// "V target", "I supply", "A0", "A1" as probe/readings.h names them.
std::string reading_name(int reading);
// "V" or "mA".
std::string reading_unit(int reading);
// The talviro_read --csv column of the reading: "V_target_V", "I_supply_mA", ...
std::string reading_column(int reading);
// The index of the reading in readings::kChannels (conversion order).
int reading_channel(int reading);

// One readout: UTC milliseconds since 1970, and each reading in row order;
// NaN where the reading was not whole. A readout with a NaN reading at t makes
// [t, next readout) missing for that reading.
struct Readout {
    int64_t time_ms;
    float value[kReadingCount];
};

// One pixel column of one reading.
struct Column {
    float min;      // of the whole readings in the column; NaN without data
    float max;
    float mean;     // always within [min, max]
    bool has_data;  // at least one whole reading falls in the column
    bool has_gap;   // some of the column's time (a stretch of non-zero length) is missing for the reading
};

// Statistics of one reading over the readouts with t0 <= time < t1, each
// readout counted once (Integrals weighs them by time).
struct Stats {
    int64_t readouts;     // readouts in the span
    int64_t whole;        // of them, with this reading whole
    int64_t gaps;         // stretches of missing time for the reading that reach into the span
    double min;           // NaN when whole == 0
    double mean;          // sum / whole, never outside [min, max]
    double max;
    int64_t duration_ms;  // t1 - t0, at most INT64_MAX
};

// Sums over time of the readouts in a span, as the chart draws them: each
// readout stands for the time from it to the next readout, unless that time
// is missing (a gap, or the reading NaN); the last readout, and one just
// before a gap, stand for no time. Only the part of each readout's time
// inside [t0, t1) counts, so a readout just before t0 adds the time from t0
// to the next one. Sums of products are compensated (double-double), times
// are whole milliseconds: exact far beyond the live bound's 36 days.
struct Integrals {
    int64_t covered_ms;     // time I supply stands for (charge's time)
    int64_t gap_ms;         // time between the first and the last readout in [t0, t1) not covered
    int64_t readouts;       // readouts with t0 <= time < t1
    double charge_mC;       // ∫ I supply dt, mA·s
    double energy_mJ;       // ∫ V target · I supply dt, V·mA·s
    double mean_power_mW;   // energy / power_ms; NaN without power time
    double mean[kReadingCount];      // time-weighted; NaN where held_ms is 0
    int64_t whole[kReadingCount];    // readouts in the span with the reading whole
    int64_t held_ms[kReadingCount];  // time each reading stands for
    int64_t power_ms;       // time both V target and I supply stand for (energy's time)
};

class Series {
public:
    // Readouts are kept in chunks of this many; the oldest chunk goes at once.
    static constexpr size_t kChunkReadouts = 65536;
    // The live window's bound: 3 145 728 readouts, over 36 days of 1 s
    // ticks; with one chunk more in hand, at most about 103 MB.
    static constexpr size_t kLiveCapacity = 48 * kChunkReadouts;
    // Memory per readout, its levels included (chunk storage, no slack).
    static constexpr size_t kBytesPerReadout = 32;

    // Missing time. The time from one readout to the next is missing for
    // every reading when
    //   - append_gap() was called between them (a Disconnect, a lost probe,
    //     a new run in a log), or
    //   - the step is more than kGapStepFactor times the usual step, the
    //     median of the last kGapSteps steps before it (steps of zero left
    //     out; after an explicit gap the count starts again, and the first
    //     step after it is never judged a gap).
    // A jitter of ±50 % around any cadence (1 ms, 1 s, ...) stays far below
    // the factor; a hole of several steps does not. A cadence that changes
    // for good is learnt after half the steps have the new length.
    // The time from a readout on is also missing for one reading when that
    // reading is NaN in it. Missing time of zero length (two readouts at one
    // time) is no gap.
    static constexpr int64_t kGapStepFactor = 4;
    static constexpr int kGapSteps = 8;

    // Keeps at least `capacity` readouts and at most one chunk more: an
    // append that would go beyond drops the oldest kChunkReadouts at once.
    // 0 keeps every readout (logs).
    explicit Series(size_t capacity = kLiveCapacity);
    ~Series();
    Series(Series&&) noexcept;
    Series& operator=(Series&&) noexcept;
    Series(const Series&) = delete;
    Series& operator=(const Series&) = delete;

    // Adds a readout at the end. Refuses (returns false, keeps nothing) one
    // earlier than the last, or than a gap marked since; an equal time is
    // accepted.
    bool append(const Readout& readout);
    // Marks a gap at time_ms: the readouts before and after it do not join,
    // the time between them is missing for every reading. Refuses (false) a
    // time earlier than the last readout. Several marks before the next
    // readout make one gap; a mark before the first readout does nothing.
    bool append_gap(int64_t time_ms);
    // The readouts from the next on come at another cadence (a live rate
    // was changed): the steps before are forgotten, as after an explicit
    // gap, but no time is missing. Without it a slower cadence would be
    // judged missing time until half the steps had its length.
    void new_cadence();
    void clear();

    size_t size() const;
    bool empty() const { return size() == 0; }
    // Readout i, 0 the oldest kept; needs i < size().
    Readout at(size_t i) const;
    // Time of the oldest / newest readout kept; 0 when empty.
    int64_t first_time() const;
    int64_t last_time() const;
    // The index of the first readout at or after t; size() when none is.
    size_t lower_bound(int64_t t_ms) const;
    // Whether the time from readout i - 1 to readout i is missing for every
    // reading (see kGapStepFactor); false for i == 0. Needs i < size().
    bool gap_before(size_t i) const;
    // Readouts dropped from the front by the bound so far.
    uint64_t dropped() const;
    // Bytes held by the readouts and their levels.
    size_t memory_bytes() const;

    // Fills out with n_px columns of the reading; column k covers the
    // readouts with b_k <= time < b_(k+1), b_k = t0 + (t1 - t0) * k / n_px
    // evaluated in that order in double (b_(n_px) = t1).
    // Costs O(n_px * log(readouts)). An empty out when n_px <= 0 or t1 <= t0.
    void columns(int reading, double t0_ms, double t1_ms, int n_px,
                 std::vector<Column>& out) const;

    // Exact statistics over the readouts with t0 <= time < t1.
    Stats stats(int reading, int64_t t0_ms, int64_t t1_ms) const;

    // Charge, energy and time-weighted means over [t0, t1) (see Integrals),
    // from the levels: O(log readouts). All zero (means NaN) for t1 <= t0.
    Integrals integrals(int64_t t0_ms, int64_t t1_ms) const;

    // The readout nearest in time to t: of two equally near, the earlier,
    // and of several at one time the first appended. Nothing when the
    // series is empty or t lies strictly inside a gap (gap_before).
    std::optional<Readout> nearest(int64_t t_ms) const;

private:
    struct Chunk;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace trend

#endif
