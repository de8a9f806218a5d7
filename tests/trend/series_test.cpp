// The series: selection statistics of a log read through CsvLog against the
// log's own rows, pixel columns against every readout, the live bound, order,
// and the nearest readout.
#include "trend/csv_log.h"
#include "trend/series.h"

#include "log_file.h"
#include "reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <limits>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using trend::Column;
using trend::kReadingCount;
using trend::Readout;
using trend::Series;
using trend::Stats;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr int64_t kBase = 1'796'000'000'000;  // 2026-11-30
constexpr size_t kChunk = Series::kChunkReadouts;
// Over two chunks, so spans and columns cross a chunk's end.
constexpr int kRows = 140'000;
constexpr int kJumpRow = 100'000;     // 5 s without readouts before it
constexpr int kSameTimeRow = 120'001;  // at the time of the row before
constexpr int kSpikeRow = 77'777;

// The CSV's columns in header order, and the reading each value column is.
constexpr int kValueColumnReading[kReadingCount] = {trend::kA1, trend::kISupply, trend::kVTarget, trend::kA0};

int64_t row_time(int i) {
    const int at = i >= kSameTimeRow ? i - 1 : i;
    return kBase + 33 * int64_t{at} + (i >= kJumpRow ? 5000 : 0);
}

// Whether the column (in header order) is empty in row i: runs of gaps, one
// crossing the first chunk's end, one of whole readouts.
bool empty_field(int i, int column) {
    if (i >= 70'000 && i <= 70'003) return true;
    switch (column) {
    case 0: return i == kRows - 1;
    case 1: return i >= 500 && i <= 509;
    case 2: return i == 3;
    default: return i >= 65'530 && i <= 65'545;
    }
}

std::string value_text(int i, int column) {
    char text[32];
    switch (column) {
    case 0: std::snprintf(text, sizeof text, "%.2f", (i * 37 % 1000) / 100.0); break;
    case 1: std::snprintf(text, sizeof text, "%.0f", i == kSpikeRow ? 1000.0 : 10.0 + i * 7919 % 800); break;
    case 2: std::snprintf(text, sizeof text, "%.2f", 3.2 + (i % 11) / 100.0); break;
    default: std::snprintf(text, sizeof text, "%.2f", (i % 500) / 100.0); break;
    }
    return text;
}

// The log's text, and each row's readout as read straight from that text.
struct Log {
    std::string text;
    std::vector<Readout> rows;
};

const Log& log_rows() {
    static const Log log = [] {
        Log l;
        std::ostringstream out;
        out << trendtest::kHeader;
        for (int i = 0; i < kRows; ++i) {
            Readout r{row_time(i), {}};
            std::string fields[kReadingCount];
            for (int c = 0; c < kReadingCount; ++c) {
                fields[c] = empty_field(i, c) ? "" : value_text(i, c);
                r.value[kValueColumnReading[c]] = fields[c].empty() ? kNaN : std::strtof(fields[c].c_str(), nullptr);
            }
            out << trendtest::iso_utc(r.time_ms);
            for (const std::string& f : fields) out << ',' << f;
            for (int c = 0; c < kReadingCount; ++c) out << ',' << (fields[c].empty() ? "" : std::to_string(i % 1024));
            out << '\n';
            l.rows.push_back(r);
        }
        l.text = out.str();
        return l;
    }();
    return log;
}

// The rows as a series judges them, appended one by one.
trendref::Kept kept(const std::vector<Readout>& rows, size_t capacity = 0) {
    std::vector<trendref::Appended> appended;
    for (const Readout& r : rows) appended.push_back({r, false});
    return trendref::judge(appended, capacity);
}

void expect_same_value(double expected, double actual, const std::string& what) {
    if (std::isnan(expected))
        EXPECT_TRUE(std::isnan(actual)) << what << ": " << actual;
    else
        EXPECT_EQ(expected, actual) << what;
}

TEST(trendSeries, SelectionStatisticsEqualThoseOfTheLogsRows) {
    const Log& log = log_rows();
    const std::string path = trendtest::write_file("log.csv", log.text);
    trend::CsvLog csv;
    std::string error;
    ASSERT_TRUE(csv.open(path, &error)) << error;
    Series series(0);
    csv.read_all(series);
    ASSERT_EQ(series.size(), log.rows.size());
    ASSERT_EQ(csv.skipped(), 0u) << csv.skipped_note();

    auto t = [](int row) { return row_time(row); };
    struct Span {
        const char* name;
        int64_t t0, t1;
    };
    const std::vector<Span> spans = {
        {"the whole log", t(0), t(kRows - 1) + 1},
        {"one readout", t(1234), t(1234) + 1},
        {"none, between two readouts", t(1234) + 1, t(1235)},
        {"none, empty span", t(1234), t(1234)},
        {"none, before the first", t(0) - 1000, t(0)},
        {"none, after the last", t(kRows - 1) + 1, t(kRows - 1) + 100'000},
        {"a gap of one reading inside", t(490), t(520)},
        {"starting in a gap", t(505), t(600)},
        {"ending in a gap", t(400), t(505)},
        {"a gap over the chunks' end", t(65'000), t(66'000)},
        {"a gap of all readings", t(69'990), t(70'010)},
        {"only gap readouts", t(70'000), t(70'004)},
        {"the spike alone", t(kSpikeRow), t(kSpikeRow + 1)},
        {"across the pause", t(kJumpRow - 10), t(kJumpRow + 10)},
        {"inside the pause", t(kJumpRow - 1) + 1, t(kJumpRow)},
        {"two readouts at one time", t(kSameTimeRow), t(kSameTimeRow) + 1},
        {"the second chunk onwards", t(int(kChunk)), t(kRows - 1) + 1},
        {"ending at the last, gap of A1", t(kRows - 5), t(kRows - 1) + 1},
        {"unaligned middle", t(12'345) - 7, t(98'765) + 11},
    };
    const trendref::Kept judged = kept(log.rows);
    for (const Span& span : spans) {
        for (int reading = 0; reading < kReadingCount; ++reading) {
            const std::string what = std::string(span.name) + ", reading " + trend::reading_name(reading);
            const Stats want = trendref::stats(judged, reading, span.t0, span.t1);
            const Stats got = series.stats(reading, span.t0, span.t1);
            EXPECT_EQ(want.readouts, got.readouts) << what;
            EXPECT_EQ(want.whole, got.whole) << what;
            EXPECT_EQ(want.gaps, got.gaps) << what;
            EXPECT_EQ(want.duration_ms, got.duration_ms) << what;
            expect_same_value(want.min, got.min, what + " min");
            expect_same_value(want.max, got.max, what + " max");
            if (std::isnan(want.mean)) {
                EXPECT_TRUE(std::isnan(got.mean)) << what;
            } else {
                EXPECT_NEAR(want.mean, got.mean, 1e-9 * std::fabs(want.mean)) << what;
                EXPECT_GE(got.mean, got.min) << what;
                EXPECT_LE(got.mean, got.max) << what;
            }
        }
    }
}

TEST(trendSeries, ColumnsHoldEveryReadoutsMinMaxMeanAndGaps) {
    // Readouts of the log, a tenth of them so that the direct sums stay quick.
    std::vector<Readout> rows;
    for (size_t i = 0; i < log_rows().rows.size(); i += 10) rows.push_back(log_rows().rows[i]);
    Series series(0);
    for (const Readout& r : rows) ASSERT_TRUE(series.append(r));

    const double first = static_cast<double>(rows.front().time_ms);
    const double last = static_cast<double>(rows.back().time_ms);
    struct Window {
        const char* name;
        double t0, t1;
        int n_px;
    };
    const std::vector<Window> windows = {
        {"everything at 1920 px", first, last + 1, 1920},
        {"everything in one column", first, last + 1, 1},
        {"wider than the data", first - 100'000, last + 100'000, 700},
        {"100 ms: columns of less than a millisecond", first + 330 * 50, first + 330 * 50 + 100, 1920},
        {"over the gap of one reading", static_cast<double>(row_time(400)), static_cast<double>(row_time(700)), 64},
        {"over the gap of all readings", static_cast<double>(row_time(69'900)),
         static_cast<double>(row_time(70'100)), 33},
        {"the spike among many", first, last + 1, 17},
        {"across the pause", static_cast<double>(row_time(kJumpRow - 100)),
         static_cast<double>(row_time(kJumpRow + 100)), 500},
        {"no pixels", first, last, 0},
        {"no time", first, first, 10},
    };
    const trendref::Kept judged = kept(rows);
    for (const Window& w : windows) {
        std::vector<Column> got;
        for (int reading = 0; reading < kReadingCount; ++reading) {
            series.columns(reading, w.t0, w.t1, w.n_px, got);
            const std::vector<Column> want = trendref::columns(judged, reading, w.t0, w.t1, w.n_px);
            ASSERT_EQ(want.size(), got.size()) << w.name;
            for (size_t k = 0; k < want.size(); ++k) {
                const std::string what = std::string(w.name) + ", " + trend::reading_name(reading) +
                                         ", column " + std::to_string(k);
                ASSERT_EQ(want[k].has_data, got[k].has_data) << what;
                ASSERT_EQ(want[k].has_gap, got[k].has_gap) << what;
                if (!want[k].has_data) continue;
                ASSERT_EQ(want[k].min, got[k].min) << what;
                ASSERT_EQ(want[k].max, got[k].max) << what;
                ASSERT_NEAR(want[k].mean, got[k].mean, 1e-5f * std::fabs(want[k].mean)) << what;
                ASSERT_LE(got[k].min, got[k].mean) << what;
                ASSERT_LE(got[k].mean, got[k].max) << what;
            }
        }
    }
}

TEST(trendSeries, ColumnBoundsAreWorkedOutAsWritten) {
    // A readout every millisecond from 1970 on, where a bound keeps its last
    // bits: (t1 - t0) * k / n and (t1 - t0) / n * k differ there, and a
    // readout on the bound falls in one column or the next.
    constexpr int64_t kT0 = 0;
    std::vector<Readout> rows;
    for (int64_t t = kT0; t <= kT0 + 200; ++t) rows.push_back({t, {1, 2, 3, float(t)}});
    Series series(0);
    for (const Readout& r : rows) series.append(r);
    const trendref::Kept judged = kept(rows);
    std::vector<Column> got;
    for (int span = 1; span <= 200; ++span)
        for (int n = 1; n <= 48; ++n) {
            series.columns(trend::kA1, kT0, kT0 + span, n, got);
            const std::vector<Column> want = trendref::columns(judged, trend::kA1, kT0, kT0 + span, n);
            for (int k = 0; k < n; ++k)
                ASSERT_TRUE(got[k].has_data == want[k].has_data && trendref::same(got[k].min, want[k].min))
                    << "span " << span << " in " << n << ", column " << k << ": " << got[k].min << " " << want[k].min;
        }
}

TEST(trendSeries, LiveBoundDropsTheOldestChunkAndKeepsStatisticsExact) {
    constexpr size_t kCapacity = 2 * kChunk;
    Series series(kCapacity);
    std::vector<Readout> all;
    // A gap run across the first dropped chunk's end.
    const size_t total = 4 * kChunk + 5;
    for (size_t i = 0; i < total; ++i) {
        Readout r{kBase + static_cast<int64_t>(i), {1.0f + i % 7, 2.0f, 3.0f, 4.0f}};
        if (i >= 2 * kChunk - 3 && i <= 2 * kChunk + 3) r.value[trend::kVTarget] = kNaN;
        ASSERT_TRUE(series.append(r));
        all.push_back(r);
        ASSERT_GE(series.size(), std::min(i + 1, kCapacity)) << i;
        ASSERT_LE(series.size(), kCapacity + kChunk) << i;
    }
    EXPECT_EQ(series.size() + series.dropped(), total);
    EXPECT_EQ(series.dropped(), 2 * kChunk);
    EXPECT_EQ(series.first_time(), all[2 * kChunk].time_ms);
    EXPECT_EQ(series.last_time(), all.back().time_ms);
    EXPECT_EQ(series.at(0).time_ms, all[2 * kChunk].time_ms);
    EXPECT_LE(series.memory_bytes(), (kCapacity + kChunk) * Series::kBytesPerReadout + 4096);

    const trendref::Kept judged = kept(all, kCapacity);
    ASSERT_EQ(judged.rows.size(), series.size());
    for (int reading : {trend::kVTarget, trend::kISupply}) {
        const Stats want = trendref::stats(judged, reading, kBase, kBase + static_cast<int64_t>(total));
        const Stats got = series.stats(reading, kBase, kBase + static_cast<int64_t>(total));
        EXPECT_EQ(want.readouts, got.readouts);
        EXPECT_EQ(want.whole, got.whole);
        EXPECT_EQ(want.gaps, got.gaps) << "a run begun in a dropped chunk counts once";
        EXPECT_EQ(want.min, got.min);
        EXPECT_EQ(want.max, got.max);
    }
}

TEST(trendSeries, AReadoutEarlierThanTheLastIsRefused) {
    Series series;
    EXPECT_TRUE(series.append({1000, {1, 2, 3, 4}}));
    EXPECT_FALSE(series.append({999, {5, 5, 5, 5}}));
    EXPECT_TRUE(series.append({1000, {6, 6, 6, 6}}));
    EXPECT_EQ(series.size(), 2u);
    EXPECT_EQ(series.stats(trend::kVTarget, 0, 2000).max, 6.0);
    series.clear();
    EXPECT_TRUE(series.empty());
    EXPECT_TRUE(series.append({5, {1, 2, 3, 4}}));
}

TEST(trendSeries, NearestReadoutTakesTheEarlierOnATieAndNothingInAGap) {
    Series series;
    EXPECT_FALSE(series.nearest(0).has_value());
    // Two readouts at 2000 (the first appended is the one meant), a gap
    // marked between 4000 and 5000.
    for (int64_t t : {1000, 2000, 2000, 4000}) series.append({t, {float(t), float(series.size()), 0, 0}});
    series.append_gap(4000);
    series.append({5000, {5000, 4, 0, 0}});
    // query, time of the readout, its index in the value (-1: nothing)
    const std::vector<std::tuple<int64_t, int64_t, int>> rows = {
        {-50, 1000, 0}, {1000, 1000, 0}, {1499, 1000, 0}, {1500, 1000, 0}, {1501, 2000, 1},
        {2000, 2000, 1}, {2001, 2000, 1}, {3000, 2000, 1}, {3001, 4000, 3}, {4000, 4000, 3},
        {4001, 0, -1}, {4500, 0, -1}, {4999, 0, -1}, {5000, 5000, 4}, {999'999, 5000, 4},
    };
    for (const auto& [query, want, index] : rows) {
        const auto got = series.nearest(query);
        if (index < 0) {
            EXPECT_FALSE(got.has_value()) << query << " lies inside the gap";
            continue;
        }
        ASSERT_TRUE(got.has_value()) << query;
        EXPECT_EQ(got->time_ms, want) << query;
        EXPECT_EQ(got->value[1], float(index)) << query;
    }
}

// Steps of a log: a cadence with jitter of up to ±share (0: none), seeded.
std::vector<Readout> cadence(int64_t step_ms, double share, int count, unsigned seed) {
    std::vector<Readout> rows;
    unsigned x = seed;
    int64_t t = kBase;
    for (int i = 0; i < count; ++i) {
        rows.push_back({t, {3.3f, 10.0f + i % 3, 1.0f, 2.0f}});
        x = x * 1103515245u + 12345u;
        const double f = share * (2.0 * ((x >> 8) % 10001) / 10000.0 - 1.0);
        t += std::max<int64_t>(1, std::llround(static_cast<double>(step_ms) * (1.0 + f)));
    }
    return rows;
}

TEST(trendSeries, AStepMuchLongerThanTheCadenceIsMissingTimeForEveryReading) {
    struct Row {
        const char* name;
        int64_t step_ms;
        double jitter;
        int64_t hole_ms;  // added before readout kHoleAt; 0: none
    };
    constexpr int kCount = 400, kHoleAt = 250;
    const std::vector<Row> rows = {
        {"1 ms log, 50 ms hole", 1, 0.0, 50},
        {"1 s log, two hours' hole", 1000, 0.0, 2 * 3'600'000},
        {"1 s log, ±50 % jitter, no hole", 1000, 0.5, 0},
        {"33 ms log, ±50 % jitter, 1 s hole", 33, 0.5, 1000},
        {"1 ms log, ±50 % jitter, no hole", 2, 0.5, 0},
        {"1 s log, no hole", 1000, 0.0, 0},
    };
    for (const Row& row : rows) {
        std::vector<Readout> log = cadence(row.step_ms, row.jitter, kCount, 7);
        for (int i = kHoleAt; i < kCount; ++i) log[i].time_ms += row.hole_ms;
        Series series(0);
        for (const Readout& r : log) ASSERT_TRUE(series.append(r));
        for (int i = 1; i < kCount; ++i)
            ASSERT_EQ(series.gap_before(i), row.hole_ms > 0 && i == kHoleAt) << row.name << ", readout " << i;
        const int64_t t0 = log.front().time_ms, t1 = log.back().time_ms + 1;
        for (int r = 0; r < kReadingCount; ++r) {
            const Stats st = series.stats(r, t0, t1);
            EXPECT_EQ(st.gaps, row.hole_ms > 0 ? 1 : 0) << row.name;
            EXPECT_EQ(st.whole, kCount) << row.name << ": no readout left out but the hole";
        }
        if (row.hole_ms == 0) continue;
        const int64_t inside = (log[kHoleAt - 1].time_ms + log[kHoleAt].time_ms) / 2;
        EXPECT_FALSE(series.nearest(inside).has_value()) << row.name;
        std::vector<Column> columns;
        series.columns(trend::kISupply, static_cast<double>(log[kHoleAt - 1].time_ms),
                       static_cast<double>(log[kHoleAt].time_ms), 4, columns);
        for (const Column& c : columns) EXPECT_TRUE(c.has_gap) << row.name;
        const trend::Integrals in = series.integrals(t0, t1);
        EXPECT_EQ(in.gap_ms, log[kHoleAt].time_ms - log[kHoleAt - 1].time_ms) << row.name;
    }
}

TEST(trendSeries, AMarkedGapSplitsRunsAndACadenceChangeIsLearnt) {
    Series series(0);
    int64_t t = kBase;
    for (int i = 0; i < 20; ++i, t += 1000) series.append({t, {1, 1, 1, 1}});
    // Then every 10 s: the first steps are holes until the new cadence is
    // the median.
    for (int i = 0; i < 12; ++i) series.append({t += 10'000, {1, 1, 1, 1}});
    std::string judged;
    for (size_t i = 20; i < series.size(); ++i) judged += series.gap_before(i) ? 'G' : '.';
    EXPECT_EQ(judged, "GGGGG.......");
    // Told of the change (a live rate chosen), the new cadence holds from
    // its first step: 31 ms readouts, then 1 s, then 31 ms again.
    Series told(0);
    int64_t u = kBase;
    for (int i = 0; i < 20; ++i) told.append({u += 31, {1, 1, 1, 1}});
    told.new_cadence();
    for (int i = 0; i < 6; ++i) told.append({u += 1000, {1, 1, 1, 1}});
    told.new_cadence();
    for (int i = 0; i < 6; ++i) told.append({u += 31, {1, 1, 1, 1}});
    for (size_t i = 1; i < told.size(); ++i) EXPECT_FALSE(told.gap_before(i)) << i;
    EXPECT_FALSE(series.append_gap(t - 1)) << "a gap before the last readout";
    EXPECT_TRUE(series.append_gap(t + 100));
    EXPECT_FALSE(series.append({t + 99, {1, 1, 1, 1}})) << "a readout before the gap";
    // A new run a step later: joined only by the mark's gap, and the count
    // of steps starts again.
    series.append({t += 1000, {1, 1, 1, 1}});
    series.append({t += 1000, {1, 1, 1, 1}});
    series.append({t += 1000, {1, 1, 1, 1}});
    EXPECT_TRUE(series.gap_before(32));
    EXPECT_FALSE(series.gap_before(33));
    EXPECT_FALSE(series.gap_before(34));
    // A zero-length step (a NaN readout and a whole one at one time) is no gap.
    Series same(0);
    same.append({kBase, {1, 1, 1, 1}});
    same.append({kBase + 1000, {kNaN, 1, 1, 1}});
    same.append({kBase + 1000, {2, 1, 1, 1}});
    same.append({kBase + 2000, {3, 1, 1, 1}});
    std::vector<Column> columns;
    same.columns(trend::kVTarget, kBase, kBase + 2001, 2001, columns);
    for (const Column& c : columns) EXPECT_FALSE(c.has_gap);
    EXPECT_EQ(same.stats(trend::kVTarget, kBase, kBase + 2001).gaps, 0);
}

TEST(trendSeries, ABoundNotAMultipleOfAChunkKeepsAtMostOneChunkMore) {
    for (const size_t capacity : {size_t{1}, size_t{100'000}, kChunk, kChunk + 1, 3 * kChunk - 1}) {
        Series series(capacity);
        size_t most = 0;
        for (size_t i = 0; i < capacity + 3 * kChunk; ++i) {
            series.append({kBase + static_cast<int64_t>(i), {1, 2, 3, 4}});
            most = std::max(most, series.size());
            ASSERT_GE(series.size(), std::min(i + 1, capacity)) << capacity;
        }
        EXPECT_EQ(most, capacity + kChunk) << capacity;
    }
}

TEST(trendSeries, TheWidestSpanKeepsItsDuration) {
    Series series(0);
    series.append({-5, {1, 2, 3, 4}});
    series.append({5, {1, 2, 3, 4}});
    const int64_t lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max();
    const Stats st = series.stats(trend::kVTarget, lo, hi);
    EXPECT_EQ(st.duration_ms, hi);
    EXPECT_EQ(st.readouts, 2);
    const trend::Integrals in = series.integrals(lo, hi);
    EXPECT_EQ(in.covered_ms, 10);
    EXPECT_EQ(in.gap_ms, 0);
}

// Integrals against closed forms: I supply i(t), V target v(t) over readouts
// every step_ms; each readout stands for the time to the next.
TEST(trendSeries, IntegralsWeighEachReadoutByTheTimeItStandsFor) {
    struct Row {
        const char* name;
        std::vector<Readout> readouts;
        std::vector<int64_t> gaps_before;  // indexes marked with append_gap
        int64_t t0, t1;
        double charge_mC, energy_mJ, covered_ms, gap_ms, mean_i;
    };
    auto make = [](int n, int64_t step, auto current, auto volts) {
        std::vector<Readout> rows;
        for (int k = 0; k < n; ++k)
            rows.push_back({kBase + k * step, {float(volts(k)), float(current(k)), 1.0f, kNaN}});
        return rows;
    };
    // Jittery steps: 1 s ± up to 400 ms, a constant 8 mA and 3 V.
    std::vector<Readout> jitter;
    int64_t total_jitter = 0;
    for (int k = 0, t = 0; k < 1000; ++k) {
        jitter.push_back({kBase + t, {3.0f, 8.0f, 0, kNaN}});
        const int step = 600 + (k * 7919) % 801;
        if (k + 1 < 1000) total_jitter += step;
        t += step;
    }
    const int64_t e = kBase;
    const std::vector<Row> rows = {
        // 1000 readouts of 10 mA at 3.3 V every 1 s: 999 s held.
        {"constant", make(1000, 1000, [](int) { return 10.0; }, [](int) { return 3.25; }), {}, e, e + 1'000'000,
         9990.0, 9990.0 * 3.25, 999'000, 0, 10.0},
        // 2 mA for 500 readouts, 20 mA after, every 100 ms.
        {"step", make(1000, 100, [](int k) { return k < 500 ? 2.0 : 20.0; }, [](int) { return 1.5; }), {}, e,
         e + 100'000, 2 * 50.0 + 20 * 49.9, 1.5 * (2 * 50.0 + 20 * 49.9), 99'900, 0, (2 * 50.0 + 20 * 49.9) / 99.9},
        // i = k mA, readout k held 10 ms: Σ k·10 ms for k < 999.
        {"ramp", make(1000, 10, [](int k) { return double(k); }, [](int) { return 2.0; }), {}, e, e + 10'000,
         998.0 * 999 / 2 * 10 / 1000, 2.0 * 998.0 * 999 / 2 * 10 / 1000, 9'990, 0, 499.0},
        {"jittery steps", jitter, {}, e, e + 10'000'000, 8.0 * total_jitter / 1000, 24.0 * total_jitter / 1000,
         double(total_jitter), 0, 8.0},
        // Clipped: from the middle of readout 10's second to readout 20's.
        {"clipped to the span", make(100, 1000, [](int k) { return double(k); }, [](int) { return 1.0; }), {},
         e + 10'500, e + 20'250, (10 * 0.5 + (11 + 19) * 9 / 2.0 + 20 * 0.25), (10 * 0.5 + 135 + 5), 9'750, 0,
         (10 * 0.5 + 135 + 5) / 9.75},
        // A marked gap before readout 50 of 100 (5 mA, 1 s): readout 49
        // stands for no time; 98 s held, 1 s of gap.
        {"a marked gap", make(100, 1000, [](int) { return 5.0; }, [](int) { return 2.0; }), {50}, e, e + 200'000,
         5.0 * 98, 10.0 * 98, 98'000, 1'000, 5.0},
    };
    for (const Row& row : rows) {
        Series series(0);
        for (size_t k = 0; k < row.readouts.size(); ++k) {
            if (std::find(row.gaps_before.begin(), row.gaps_before.end(), int64_t(k)) != row.gaps_before.end())
                series.append_gap(row.readouts[k - 1].time_ms);
            ASSERT_TRUE(series.append(row.readouts[k]));
        }
        const trend::Integrals in = series.integrals(row.t0, row.t1);
        EXPECT_NEAR(in.charge_mC, row.charge_mC, 1e-12 * row.charge_mC) << row.name;
        EXPECT_NEAR(in.energy_mJ, row.energy_mJ, 1e-12 * row.energy_mJ) << row.name;
        EXPECT_EQ(in.covered_ms, row.covered_ms) << row.name;
        EXPECT_EQ(in.gap_ms, row.gap_ms) << row.name;
        EXPECT_NEAR(in.mean[trend::kISupply], row.mean_i, 1e-12 * row.mean_i) << row.name;
        EXPECT_NEAR(in.mean_power_mW, in.energy_mJ * 1000 / in.power_ms, 1e-9) << row.name;
        EXPECT_TRUE(std::isnan(in.mean[trend::kA1])) << row.name << ": A1 never whole";
    }
}

// The live bound's 36 days of 1 s readouts with small, uneven currents, and
// spans a selection may take, against long double sums made as the readouts
// are (no copy of 3 M readouts beside the series).
TEST(trendSeries, IntegralsStayExactOverTheLiveBound) {
    const size_t n = Series::kLiveCapacity;
    auto readout = [n](size_t k) {
        const float current = k % 1000 == 0 ? 950.123f : 0.01f + static_cast<float>(k % 97) * 1e-3f;
        const float volts = 3.3f - static_cast<float>(k % 13) * 1e-4f;
        Readout r{kBase + static_cast<int64_t>(k) * 1000 + static_cast<int64_t>(k % 7), {volts, current, 1, 2}};
        if (k == n / 2) r.value[trend::kISupply] = kNaN;
        return r;
    };
    const int64_t first = readout(0).time_ms, last = readout(n - 1).time_ms;
    struct Span {
        int64_t t0, t1;
        long double charge = 0, energy = 0;
        int64_t covered = 0, readouts = 0;
    };
    std::vector<Span> spans = {
        {first, last + 1}, {first - 5, last + 5}, {first + 123'456, last - 654'321}, {first + 500, first + 1500},
        {first + int64_t(kChunk) * 1000 - 1, first + int64_t(kChunk) * 3000 + 17},
    };
    Series series;
    Readout before{};
    for (size_t k = 0; k < n; ++k) {
        const Readout r = readout(k);
        ASSERT_TRUE(series.append(r));
        for (Span& span : spans) {
            span.readouts += r.time_ms >= span.t0 && r.time_ms < span.t1;
            // The readout before stands for the time to this one.
            const int64_t a = std::max(before.time_ms, span.t0), b = std::min(r.time_ms, span.t1);
            if (k == 0 || b <= a || std::isnan(before.value[trend::kISupply])) continue;
            span.charge += static_cast<long double>(before.value[trend::kISupply]) * (b - a) / 1000;
            span.energy += static_cast<long double>(before.value[trend::kISupply]) * before.value[trend::kVTarget] *
                           (b - a) / 1000;
            span.covered += b - a;
        }
        before = r;
    }
    for (const Span& span : spans) {
        const trend::Integrals in = series.integrals(span.t0, span.t1);
        EXPECT_NEAR(in.charge_mC, static_cast<double>(span.charge), 1e-9 * static_cast<double>(span.charge)) << span.t0;
        EXPECT_NEAR(in.energy_mJ, static_cast<double>(span.energy), 1e-9 * static_cast<double>(span.energy));
        EXPECT_EQ(in.covered_ms, span.covered);
        EXPECT_EQ(in.readouts, span.readouts);
        EXPECT_EQ(series.stats(trend::kISupply, span.t0, span.t1).gaps, span.t0 < readout(n / 2).time_ms &&
                                                                             span.t1 > readout(n / 2).time_ms);
    }
}

TEST(trendSeries, ReadingsInTheWindowsRowOrderWithTheirCsvColumns) {
    const char* const names[] = {"V target", "I supply", "A0", "A1"};
    const char* const units[] = {"V", "mA", "V", "V"};
    const char* const columns[] = {"V_target_V", "I_supply_mA", "A0_V", "A1_V"};
    for (int r = 0; r < kReadingCount; ++r) {
        EXPECT_EQ(trend::reading_name(r), names[r]);
        EXPECT_EQ(trend::reading_unit(r), units[r]);
        EXPECT_EQ(trend::reading_column(r), columns[r]);
    }
}

}  // namespace
