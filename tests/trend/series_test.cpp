// The series: selection statistics of a log read through CsvLog against the
// log's own rows, pixel columns against every readout, the live bound, order,
// and the nearest readout.
#include "trend/csv_log.h"
#include "trend/series.h"

#include "log_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
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

// Statistics straight from the rows, summed in their order.
Stats direct_stats(const std::vector<Readout>& rows, int reading, int64_t t0, int64_t t1) {
    Stats s{0, 0, 0, std::nan(""), std::nan(""), std::nan(""), t1 > t0 ? t1 - t0 : 0};
    double sum = 0.0;
    bool in_gap = false;
    for (const Readout& r : rows) {
        if (r.time_ms < t0 || r.time_ms >= t1) continue;
        ++s.readouts;
        const float v = r.value[reading];
        if (std::isnan(v)) {
            if (!in_gap) ++s.gaps;
            in_gap = true;
            continue;
        }
        in_gap = false;
        s.min = s.whole == 0 ? v : std::min<double>(s.min, v);
        s.max = s.whole == 0 ? v : std::max<double>(s.max, v);
        sum += v;
        ++s.whole;
    }
    if (s.whole > 0) s.mean = sum / static_cast<double>(s.whole);
    return s;
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
    for (const Span& span : spans) {
        for (int reading = 0; reading < kReadingCount; ++reading) {
            const std::string what = std::string(span.name) + ", reading " + trend::reading_name(reading);
            const Stats want = direct_stats(log.rows, reading, span.t0, span.t1);
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

// Columns straight from the readouts: those in [b_k, b_(k+1)), and whether
// a missing reading at the readout before reaches into the column.
std::vector<Column> direct_columns(const std::vector<Readout>& rows, int reading, double t0, double t1, int n) {
    std::vector<Column> out;
    if (n <= 0 || !(t1 > t0)) return out;
    const double width = (t1 - t0) / n;
    auto time = [&](size_t i) { return static_cast<double>(rows[i].time_ms); };
    auto missing = [&](size_t i) { return std::isnan(rows[i].value[reading]); };
    size_t i = 0;
    for (int k = 0; k < n; ++k) {
        const double b0 = t0 + width * k, b1 = k + 1 == n ? t1 : t0 + width * (k + 1);
        Column c{kNaN, kNaN, kNaN, false, false};
        while (i < rows.size() && time(i) < b0) ++i;
        if (i > 0 && i < rows.size() && missing(i - 1) && time(i) > b0) c.has_gap = true;
        double sum = 0.0;
        int whole = 0;
        for (; i < rows.size() && time(i) < b1; ++i) {
            const float v = rows[i].value[reading];
            if (missing(i)) {
                c.has_gap = true;
                continue;
            }
            c.min = whole == 0 ? v : std::min(c.min, v);
            c.max = whole == 0 ? v : std::max(c.max, v);
            sum += v;
            ++whole;
        }
        c.has_data = whole > 0;
        if (c.has_data) c.mean = static_cast<float>(sum / whole);
        out.push_back(c);
    }
    return out;
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
    for (const Window& w : windows) {
        std::vector<Column> got;
        for (int reading = 0; reading < kReadingCount; ++reading) {
            series.columns(reading, w.t0, w.t1, w.n_px, got);
            const std::vector<Column> want = direct_columns(rows, reading, w.t0, w.t1, w.n_px);
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

    const std::vector<Readout> kept(all.begin() + static_cast<std::ptrdiff_t>(series.dropped()), all.end());
    for (int reading : {trend::kVTarget, trend::kISupply}) {
        const Stats want = direct_stats(kept, reading, kBase, kBase + static_cast<int64_t>(total));
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

TEST(trendSeries, NearestReadoutTakesTheEarlierOnATie) {
    Series series;
    EXPECT_FALSE(series.nearest(0).has_value());
    for (int64_t t : {1000, 2000, 4000}) series.append({t, {float(t), 0, 0, 0}});
    const std::vector<std::pair<int64_t, int64_t>> rows = {
        {-50, 1000}, {1000, 1000}, {1499, 1000}, {1500, 1000}, {1501, 2000},
        {3000, 2000}, {3001, 4000}, {4000, 4000}, {999'999, 4000},
    };
    for (const auto& [query, want] : rows) {
        const auto got = series.nearest(query);
        ASSERT_TRUE(got.has_value()) << query;
        EXPECT_EQ(got->time_ms, want) << query;
        EXPECT_EQ(got->value[0], float(want)) << query;
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
