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
    bool has_gap;   // some of the column's time is missing for the reading
};

// Statistics of one reading over the readouts with t0 <= time < t1.
struct Stats {
    int64_t readouts;     // readouts in the span
    int64_t whole;        // of them, with this reading whole
    int64_t gaps;         // runs of consecutive readouts in the span without it
    double min;           // NaN when whole == 0
    double mean;          // sum / whole, never outside [min, max]
    double max;
    int64_t duration_ms;  // t1 - t0
};

class Series {
public:
    // Readouts are kept in chunks of this many; the oldest chunk goes at once.
    static constexpr size_t kChunkReadouts = 65536;
    // The live window's bound: 3 145 728 readouts, over 36 days of 1 s
    // ticks; with one chunk more in hand, at most about 98 MB.
    static constexpr size_t kLiveCapacity = 48 * kChunkReadouts;
    // Memory per readout, its levels included (chunk storage, no slack).
    static constexpr size_t kBytesPerReadout = 31;

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
    // earlier than the last; an equal time is accepted.
    bool append(const Readout& readout);
    void clear();

    size_t size() const;
    bool empty() const { return size() == 0; }
    // Readout i, 0 the oldest kept; needs i < size().
    Readout at(size_t i) const;
    // Time of the oldest / newest readout kept; 0 when empty.
    int64_t first_time() const;
    int64_t last_time() const;
    // Readouts dropped from the front by the bound so far.
    uint64_t dropped() const;
    // Bytes held by the readouts and their levels.
    size_t memory_bytes() const;

    // Fills out with n_px columns of the reading; column k covers the
    // readouts with b_k <= time < b_(k+1), b_k = t0 + (t1 - t0) * k / n_px.
    // Costs O(n_px * log(readouts)). An empty out when n_px <= 0 or t1 <= t0.
    void columns(int reading, double t0_ms, double t1_ms, int n_px,
                 std::vector<Column>& out) const;

    // Exact statistics over the readouts with t0 <= time < t1.
    Stats stats(int reading, int64_t t0_ms, int64_t t1_ms) const;

    // The readout nearest in time to t (the earlier one on a tie); nothing
    // when the series is empty.
    std::optional<Readout> nearest(int64_t t_ms) const;

private:
    struct Chunk;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace trend

#endif
