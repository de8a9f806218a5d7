// The trend core's figures worked out the slow way, one readout at a time,
// straight from the rules written in trend/series.h and trend/ticks.h: the
// references that the unit tests and the differential fuzz target compare
// trend::Series and value_ticks with. No gtest, no levels, long double sums.
#ifndef TALVIRO_TESTS_TREND_REFERENCE_H
#define TALVIRO_TESTS_TREND_REFERENCE_H

#include "trend/series.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace trendref {

using trend::kReadingCount;
using trend::Readout;

// What was appended to a series: readouts, and explicit gaps before some.
struct Appended {
    Readout readout;
    bool gap_before;  // append_gap() was called before this readout
};

// Readouts as a series keeps them, each with whether the step into it is a
// gap for every reading. `first` is the index of the first kept.
struct Kept {
    std::vector<Readout> rows;
    std::vector<bool> gap;  // gap[0] unused
};

// The gap rule of trend/series.h: a step longer than kGapStepFactor times
// the lower median of the last kGapSteps non-zero steps, the count starting
// again after an explicit gap. Readouts refused by append are left out.
inline Kept judge(const std::vector<Appended>& appended, size_t capacity) {
    Kept all;
    std::vector<int64_t> history;
    bool pending = false;
    for (const Appended& a : appended) {
        if (!all.rows.empty() && a.gap_before) pending = true;
        if (!all.rows.empty() && a.readout.time_ms < all.rows.back().time_ms) continue;
        if (all.rows.empty()) {
            all.rows.push_back(a.readout);
            all.gap.push_back(true);
            continue;
        }
        const int64_t step = a.readout.time_ms - all.rows.back().time_ms;
        bool gap = pending;
        if (!pending && step > 0 && !history.empty()) {
            std::vector<int64_t> sorted(history);
            std::sort(sorted.begin(), sorted.end());
            const int64_t median = sorted[(sorted.size() - 1) / 2];
            gap = static_cast<long double>(step) > static_cast<long double>(trend::Series::kGapStepFactor) * median;
        }
        if (pending) {
            history.clear();
        } else if (step > 0) {
            history.push_back(step);
            if (history.size() > static_cast<size_t>(trend::Series::kGapSteps)) history.erase(history.begin());
        }
        pending = false;
        all.rows.push_back(a.readout);
        all.gap.push_back(gap);
    }
    if (capacity == 0) return all;
    // Whole chunks go from the front while more than a chunk beyond the bound
    // would be held: replayed readout by readout.
    size_t first = 0;
    for (size_t n = 1; n <= all.rows.size(); ++n)
        if (n - first > capacity + trend::Series::kChunkReadouts) first += trend::Series::kChunkReadouts;
    Kept kept;
    kept.rows.assign(all.rows.begin() + static_cast<std::ptrdiff_t>(first), all.rows.end());
    kept.gap.assign(all.gap.begin() + static_cast<std::ptrdiff_t>(first), all.gap.end());
    return kept;
}

// Whether the step into kept readout k (k >= 1) is missing time for reading r.
inline bool missing(const Kept& s, int r, size_t k) {
    return s.rows[k].time_ms > s.rows[k - 1].time_ms && (s.gap[k] || std::isnan(s.rows[k - 1].value[r]));
}

// Missing time of reading r as merged stretches [from, to).
inline std::vector<std::pair<int64_t, int64_t>> stretches(const Kept& s, int r) {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (size_t k = 1; k < s.rows.size(); ++k) {
        if (!missing(s, r, k)) continue;
        const int64_t from = s.rows[k - 1].time_ms, to = s.rows[k].time_ms;
        if (!out.empty() && out.back().second == from)
            out.back().second = to;
        else
            out.push_back({from, to});
    }
    return out;
}

inline bool overlaps(long double a0, long double a1, long double b0, long double b1) {
    return std::max(a0, b0) < std::min(a1, b1);
}

inline trend::Stats stats(const Kept& s, int r, int64_t t0, int64_t t1) {
    const double nan = std::nan("");
    trend::Stats st{0, 0, 0, nan, nan, nan, 0};
    if (t1 <= t0) return st;
    const long double duration = static_cast<long double>(t1) - static_cast<long double>(t0);
    st.duration_ms = duration > static_cast<long double>(std::numeric_limits<int64_t>::max())
                         ? std::numeric_limits<int64_t>::max()
                         : t1 - t0;
    long double sum = 0;
    for (const Readout& row : s.rows) {
        if (row.time_ms < t0 || row.time_ms >= t1) continue;
        ++st.readouts;
        const float v = row.value[r];
        if (std::isnan(v)) continue;
        st.min = st.whole == 0 ? v : std::min<double>(st.min, v);
        st.max = st.whole == 0 ? v : std::max<double>(st.max, v);
        sum += v;
        ++st.whole;
    }
    if (st.whole > 0) st.mean = static_cast<double>(sum / st.whole);
    for (const auto& gap : stretches(s, r))
        if (overlaps(gap.first, gap.second, t0, t1)) ++st.gaps;
    return st;
}

// Column boundaries exactly as series.h writes them.
inline double boundary(double t0, double t1, int k, int n) { return k == n ? t1 : t0 + (t1 - t0) * k / n; }

inline std::vector<trend::Column> columns(const Kept& s, int r, double t0, double t1, int n) {
    std::vector<trend::Column> out;
    if (n <= 0 || !(t1 > t0)) return out;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto gaps = stretches(s, r);
    for (int k = 0; k < n; ++k) {
        const double b0 = boundary(t0, t1, k, n), b1 = boundary(t0, t1, k + 1, n);
        trend::Column c{nan, nan, nan, false, false};
        long double sum = 0;
        int64_t whole = 0;
        for (const Readout& row : s.rows) {
            const double t = static_cast<double>(row.time_ms);
            if (t < b0 || t >= b1 || std::isnan(row.value[r])) continue;
            c.min = whole == 0 ? row.value[r] : std::min(c.min, row.value[r]);
            c.max = whole == 0 ? row.value[r] : std::max(c.max, row.value[r]);
            sum += row.value[r];
            ++whole;
        }
        c.has_data = whole > 0;
        if (c.has_data) c.mean = static_cast<float>(sum / whole);
        for (const auto& gap : gaps) c.has_gap = c.has_gap || overlaps(gap.first, gap.second, b0, b1);
        out.push_back(c);
    }
    return out;
}

// Integrals' sums, in long double, each readout's time clipped to [t0, t1).
struct Sums {
    int64_t readouts = 0;
    int64_t whole[kReadingCount] = {};
    int64_t held[kReadingCount] = {};
    long double integral[kReadingCount] = {};
    long double energy = 0;
    int64_t power_ms = 0;
    int64_t gap_ms = 0;
};

inline Sums integrals(const Kept& s, int64_t t0, int64_t t1) {
    Sums out;
    if (t1 <= t0) return out;
    for (const Readout& row : s.rows)
        if (row.time_ms >= t0 && row.time_ms < t1) {
            ++out.readouts;
            for (int r = 0; r < kReadingCount; ++r) out.whole[r] += std::isnan(row.value[r]) ? 0 : 1;
        }
    for (size_t k = 1; k < s.rows.size(); ++k) {
        if (s.gap[k]) continue;
        const int64_t a = std::max(s.rows[k - 1].time_ms, t0), b = std::min(s.rows[k].time_ms, t1);
        if (b <= a) continue;
        const Readout& held = s.rows[k - 1];
        for (int r = 0; r < kReadingCount; ++r) {
            if (std::isnan(held.value[r])) continue;
            out.integral[r] += static_cast<long double>(held.value[r]) * (b - a);
            out.held[r] += b - a;
        }
        if (!std::isnan(held.value[trend::kVTarget]) && !std::isnan(held.value[trend::kISupply])) {
            out.energy += static_cast<long double>(held.value[trend::kVTarget]) * held.value[trend::kISupply] * (b - a);
            out.power_ms += b - a;
        }
    }
    if (!s.rows.empty()) {
        const int64_t lo = std::max(t0, s.rows.front().time_ms), hi = std::min(t1, s.rows.back().time_ms);
        if (hi > lo) out.gap_ms = hi - lo - out.held[trend::kISupply];
    }
    return out;
}

// The nearest readout's index, or -1: inside a gap nothing; of equally near
// the earlier; of several at one time the first.
inline long nearest(const Kept& s, int64_t t) {
    if (s.rows.empty()) return -1;
    long best = -1;
    long double best_d = 0;
    for (size_t i = 0; i < s.rows.size(); ++i) {
        const long double d = std::fabs(static_cast<long double>(s.rows[i].time_ms) - t);
        if (best < 0 || d < best_d) {
            best = static_cast<long>(i);
            best_d = d;
        }
    }
    for (size_t k = 1; k < s.rows.size(); ++k)
        if (s.gap[k] && s.rows[k - 1].time_ms < t && t < s.rows[k].time_ms) return -1;
    return best;
}

}  // namespace trendref

#endif
