// The trend core against references worked out the slow way
// (tests/trend/reference.h): fuzz input describes a log — its size (across
// the levels' and chunks' boundaries), its steps (a cadence with jitter,
// equal times, holes, marked gaps, readouts out of order), its missing
// readings and the series' bound — and a few spans, pixel widths, times and
// value ranges to ask about. Checked: every statistic, column, integral and
// nearest readout of trend::Series; the same log written as talviro_read
// --csv writes it, in pieces while CsvLog reads it, gives the same series;
// and value_ticks and time_step keep their contracts.
#include "trend/csv_log.h"
#include "trend/series.h"
#include "trend/ticks.h"

#include "tests/trend/reference.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using trend::kReadingCount;
using trend::Readout;
using trend::Series;

constexpr int64_t kBase = 1'796'688'000'000;  // 2026-12-08
constexpr int64_t kNear1970 = 0;
constexpr size_t kChunk = Series::kChunkReadouts;
constexpr size_t kCsvReadouts = 3000;  // logs up to this size also go through CsvLog
constexpr int kMaxQueries = 6;
constexpr int kMaxColumns = 48;
// Spans (ms) whose columns are compared at every width from 1 to
// kMaxColumns. Over a shorter span than kSweptSpanMin no width puts a bound
// worked out in another order off a readout.
constexpr int kSweptSpanMin = 16;
constexpr int kSweptSpanMax = 400;
constexpr int kSweptSpans = 8;
constexpr const char* kHeader =
    "time,A1_V,I_supply_mA,V_target_V,A0_V,A1_count,I_supply_count,V_target_count,A0_count\n";
constexpr int kHeaderReading[kReadingCount] = {trend::kA1, trend::kISupply, trend::kVTarget, trend::kA0};

void check(bool ok, const char* what, double a = 0, double b = 0) {
    if (!ok) {
        std::fprintf(stderr, "differs from the reference: %s (%.17g, %.17g)\n", what, a, b);
        std::abort();
    }
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

bool near(long double want, double got, double relative) {
    return std::fabs(static_cast<long double>(got) - want) <= relative * std::fabs(want) + 1e-300;
}

// The log the input describes: each readout from a two-byte entry of a
// pattern that repeats, so that a few bytes describe 130 000 readouts.
std::vector<trendref::Appended> make_log(FuzzedDataProvider& in, size_t* capacity) {
    size_t n = 0;
    // Chunk-sized logs cost a hundred times more: one input in twenty.
    switch (in.ConsumeIntegralInRange(0, 39)) {
    case 8: n = 4096 + in.ConsumeIntegralInRange(-40, 40); break;
    case 9: n = kChunk + in.ConsumeIntegralInRange(-300, 300); break;
    case 10: n = 2 * kChunk + in.ConsumeIntegralInRange(-300, 300); break;
    default: n = in.ConsumeIntegralInRange<size_t>(0, 700); break;
    }
    static constexpr size_t kCapacities[] = {0, 0, 0, 1, 100, kChunk, kChunk + 7, 70'000};
    *capacity = kCapacities[in.ConsumeIntegralInRange<size_t>(0, std::size(kCapacities) - 1)];
    static constexpr int64_t kCadences[] = {1, 2, 33, 1000, 60'000};
    const int64_t cadence = kCadences[in.ConsumeIntegralInRange<size_t>(0, std::size(kCadences) - 1)];
    std::vector<uint8_t> pattern = in.ConsumeBytes<uint8_t>(2 * in.ConsumeIntegralInRange(1, 48));
    if (pattern.size() < 2) pattern = {7, 0};
    if (pattern.size() % 2) pattern.pop_back();

    std::vector<trendref::Appended> log;
    // Near 1970 too, where column bounds keep their last bits: a readout
    // exactly on a bound tells how the bound was worked out.
    int64_t t = in.ConsumeBool() ? kBase : kNear1970;
    for (size_t i = 0; i < n; ++i) {
        const size_t p = 2 * (i % (pattern.size() / 2));
        const uint8_t when = pattern[p], what = pattern[p + 1];
        bool gap = false;
        int64_t step;
        switch (when % 16) {
        case 0: step = 0; break;
        case 1: step = 10 * cadence; break;
        case 2: step = -1 - static_cast<int64_t>(when / 16); break;  // refused
        case 3: step = cadence; gap = true; break;
        case 4: step = 3 * cadence; break;
        case 5: step = 5 * cadence; break;
        default: step = std::max<int64_t>(1, cadence * (8 + when / 16) / 16); break;  // ±50 %
        }
        if (i > 0) t += step;
        Readout r{t, {}};
        for (int k = 0; k < kReadingCount; ++k) {
            const bool nan = ((what >> k) & 1) && (i / 3 + k) % 2 == 0;
            r.value[k] = nan ? std::numeric_limits<float>::quiet_NaN()
                             : static_cast<float>(what >> 4) * 1.25f - 5.0f + k + static_cast<float>(i % 7) * 0.5f;
        }
        log.push_back({r, gap});
        // A refused readout does not move the clock on.
        if (step < 0) t -= step;
    }
    return log;
}

Series build(const std::vector<trendref::Appended>& log, size_t capacity) {
    Series series(capacity);
    for (const trendref::Appended& a : log) {
        if (a.gap_before && !series.empty()) series.append_gap(series.last_time());
        series.append(a.readout);
    }
    return series;
}

void compare_series(const Series& series, const trendref::Kept& ref) {
    check(series.size() == ref.rows.size(), "readouts kept", series.size(), ref.rows.size());
    for (size_t i = 0; i < series.size(); ++i) {
        const Readout r = series.at(i);
        check(r.time_ms == ref.rows[i].time_ms, "time", r.time_ms, ref.rows[i].time_ms);
        for (int k = 0; k < kReadingCount; ++k) check(same(r.value[k], ref.rows[i].value[k]), "value");
        if (i > 0) check(series.gap_before(i) == ref.gap[i], "gap before a readout", i);
    }
}

void compare_columns(const Series& series, const trendref::Kept& ref, int r, double c0, double c1, int n_px) {
    std::vector<trend::Column> columns;
    series.columns(r, c0, c1, n_px, columns);
    const std::vector<trend::Column> want = trendref::columns(ref, r, c0, c1, n_px);
    check(columns.size() == want.size(), "column count", columns.size(), want.size());
    for (size_t k = 0; k < columns.size(); ++k) {
        const trend::Column& a = columns[k];
        const trend::Column& b = want[k];
        check(a.has_data == b.has_data, "column has_data", k, n_px);
        check(a.has_gap == b.has_gap, "column has_gap", k, n_px);
        check(same(a.min, b.min) && same(a.max, b.max), "column min, max", a.min, b.min);
        check(!a.has_data || (a.min <= a.mean && a.mean <= a.max), "column mean outside min..max");
        check(!a.has_data || near(b.mean, a.mean, 1e-5), "column mean", a.mean, b.mean);
    }
}

void compare_queries(FuzzedDataProvider& in, const Series& series, const trendref::Kept& ref) {
    const int64_t first = ref.rows.empty() ? kBase : ref.rows.front().time_ms;
    const int64_t last = ref.rows.empty() ? kBase + 1000 : ref.rows.back().time_ms;
    const int64_t span = std::max<int64_t>(1, last - first);
    const int queries = in.ConsumeIntegralInRange(1, kMaxQueries);
    for (int q = 0; q < queries; ++q) {
        int64_t t0 = first + in.ConsumeIntegralInRange<int64_t>(-span / 8 - 2, span + 2);
        int64_t t1 = t0 + in.ConsumeIntegralInRange<int64_t>(-1, span / 2 + 3);
        if (in.ConsumeBool()) {
            // Bounds exactly on readouts.
            if (!ref.rows.empty()) {
                t0 = ref.rows[in.ConsumeIntegralInRange<size_t>(0, ref.rows.size() - 1)].time_ms;
                t1 = ref.rows[in.ConsumeIntegralInRange<size_t>(0, ref.rows.size() - 1)].time_ms + in.ConsumeIntegralInRange(0, 1);
            }
        }
        if (q == 0 && in.ConsumeBool()) {
            t0 = std::numeric_limits<int64_t>::min();
            t1 = std::numeric_limits<int64_t>::max();
        }
        for (int r = 0; r < kReadingCount; ++r) {
            const trend::Stats got = series.stats(r, t0, t1);
            const trend::Stats want = trendref::stats(ref, r, t0, t1);
            check(got.readouts == want.readouts, "stats readouts", got.readouts, want.readouts);
            check(got.whole == want.whole, "stats whole", got.whole, want.whole);
            check(got.gaps == want.gaps, "stats gaps", got.gaps, want.gaps);
            check(got.duration_ms == want.duration_ms, "stats duration");
            check(same(got.min, want.min) && same(got.max, want.max), "stats min, max", got.min, want.min);
            check(std::isnan(want.mean) ? std::isnan(got.mean) : near(want.mean, got.mean, 1e-6), "stats mean",
                  got.mean, want.mean);
        }
        const trend::Integrals got = series.integrals(t0, t1);
        const trendref::Sums want = trendref::integrals(ref, t0, t1);
        check(got.readouts == want.readouts, "integral readouts", got.readouts, want.readouts);
        check(got.gap_ms == want.gap_ms, "integral gap time", got.gap_ms, want.gap_ms);
        check(got.power_ms == want.power_ms, "integral power time", got.power_ms, want.power_ms);
        check(near(want.energy / 1000, got.energy_mJ, 1e-12), "energy", got.energy_mJ,
              static_cast<double>(want.energy / 1000));
        for (int r = 0; r < kReadingCount; ++r) {
            check(got.whole[r] == want.whole[r], "integral whole");
            check(got.held_ms[r] == want.held[r], "held time", got.held_ms[r], want.held[r]);
            if (want.held[r] > 0)
                check(near(want.integral[r] / want.held[r], got.mean[r], 1e-12), "time-weighted mean", got.mean[r],
                      static_cast<double>(want.integral[r] / want.held[r]));
            else
                check(std::isnan(got.mean[r]), "a mean without time");
        }
        check(near(want.integral[trend::kISupply] / 1000, got.charge_mC, 1e-12), "charge", got.charge_mC);

        // Columns over a span with fractional bounds.
        const int n_px = in.ConsumeIntegralInRange(0, kMaxColumns);
        double c0 = static_cast<double>(t0) + in.ConsumeIntegralInRange(0, 3) / 4.0;
        double c1 = std::min(static_cast<double>(t1), c0 + 4.0 * static_cast<double>(span));
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            // Whole bounds a few hundred milliseconds apart: inner bounds
            // that are whole too fall on readouts of a 1 ms log.
            c0 = static_cast<double>(t0);
            c1 = c0 + in.ConsumeIntegralInRange(1, 400);
            break;
        case 1:
            // From one of the first readouts (near 1970, where a bound keeps
            // its last bits), a few spans at every width: where n_px divides
            // span * k, bound k falls exactly on a readout of a 1 ms log, and
            // one worked out in another order lands a bit beside it.
            if (!ref.rows.empty() && ref.rows.size() <= kCsvReadouts) {
                const size_t from = in.ConsumeIntegralInRange<size_t>(0, std::min<size_t>(3, ref.rows.size() - 1));
                c0 = static_cast<double>(ref.rows[from].time_ms);
                const int reading = in.ConsumeIntegralInRange(0, kReadingCount - 1);
                const int shortest = in.ConsumeIntegralInRange(kSweptSpanMin, kSweptSpanMax);
                for (int width = shortest; width < shortest + kSweptSpans; ++width)
                    for (int n = 1; n <= kMaxColumns; ++n)
                        compare_columns(series, ref, reading, c0, c0 + width, n);
            }
            break;
        default:
            break;
        }
        for (int r = 0; r < kReadingCount; ++r) compare_columns(series, ref, r, c0, c1, n_px);

        const int64_t at = first - 2 + in.ConsumeIntegralInRange<int64_t>(0, span + 4);
        const auto nearest = series.nearest(at);
        const long index = trendref::nearest(ref, at);
        check(nearest.has_value() == (index >= 0), "nearest found", static_cast<double>(at));
        if (nearest) {
            check(nearest->time_ms == ref.rows[index].time_ms, "nearest time", nearest->time_ms, ref.rows[index].time_ms);
            for (int k = 0; k < kReadingCount; ++k)
                check(same(nearest->value[k], ref.rows[index].value[k]), "nearest of equal times: the first");
        }
    }
}

std::string iso(int64_t ms) {
    const int64_t days = ms / 86'400'000, in_day = ms % 86'400'000;
    // Days to a civil date (the algorithm of trend/civil.h, written again).
    const int64_t z = days + 719468, era = z / 146097, doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9, y = yoe + era * 400 + (m <= 2);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(y), static_cast<int>(m),
                  static_cast<int>(d), static_cast<int>(in_day / 3'600'000), static_cast<int>(in_day / 60'000 % 60),
                  static_cast<int>(in_day / 1000 % 60), static_cast<int>(in_day % 1000));
    return text;
}

// The log as talviro_read --csv writes it: a marked gap as a new run's header.
std::string csv_text(const std::vector<trendref::Appended>& log) {
    std::string text = kHeader;
    for (const trendref::Appended& a : log) {
        if (a.gap_before) text += kHeader;
        text += iso(a.readout.time_ms);
        for (const int r : kHeaderReading) {
            text += ',';
            if (!std::isnan(a.readout.value[r])) {
                char v[32];
                std::snprintf(v, sizeof v, "%.9g", static_cast<double>(a.readout.value[r]));
                text += v;
            }
        }
        for (const int r : kHeaderReading) text += std::isnan(a.readout.value[r]) ? "," : ",1";
        text += '\n';
    }
    return text;
}

const std::string& log_path() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("talviro_trend_fuzz_" + std::to_string(getpid()) + ".csv"))
            .string();
    return path;
}

void write(const char* mode, const std::string& bytes) {
    std::FILE* f = std::fopen(log_path().c_str(), mode);
    check(f != nullptr, "temporary file cannot be written");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// Written in pieces while it is read, with reads of any size.
void compare_csv(FuzzedDataProvider& in, const std::vector<trendref::Appended>& log, size_t capacity,
                 const Series& direct) {
    const std::string text = csv_text(log);
    static constexpr size_t kBlocks[] = {128, 300, 4096};
    trend::CsvLog csv(kBlocks[in.ConsumeIntegralInRange<size_t>(0, std::size(kBlocks) - 1)]);
    size_t written = std::strlen(kHeader) + in.ConsumeIntegralInRange<size_t>(0, text.size() - std::strlen(kHeader));
    write("wb", text.substr(0, written));
    std::string error;
    check(csv.open(log_path(), &error), "a log written as talviro_read does is refused");
    Series series(capacity);
    for (int rounds = 0; rounds < 64 && written < text.size(); ++rounds) {
        const size_t piece = in.ConsumeIntegralInRange<size_t>(1, std::max<size_t>(1, text.size() / 4));
        while (csv.read_more(series, in.ConsumeIntegralInRange<size_t>(1, 2000)) > 0) {
        }
        write("ab", text.substr(written, piece));
        written = std::min(text.size(), written + piece);
    }
    if (written < text.size()) write("ab", text.substr(written));
    bool failed = false;
    csv.read_all(series, &failed);
    check(!failed, "the log could not be read");
    check(series.size() == direct.size(), "readouts through CsvLog", series.size(), direct.size());
    for (size_t i = 0; i < series.size(); ++i) {
        const Readout a = series.at(i), b = direct.at(i);
        check(a.time_ms == b.time_ms, "time through CsvLog", a.time_ms, b.time_ms);
        for (int k = 0; k < kReadingCount; ++k) check(same(a.value[k], b.value[k]), "value through CsvLog");
        check(series.gap_before(i) == direct.gap_before(i), "gap through CsvLog", i);
    }
    // Refused readouts are the only lines skipped; headers are runs.
    check(csv.skipped() + csv.rows() == log.size(), "rows and skipped lines", csv.skipped(), csv.rows());
}

// value_ticks: round, covering, finite, at most max_ticks (3 across zero),
// and no finer round step would do.
void compare_ticks(FuzzedDataProvider& in) {
    const double min = in.ConsumeFloatingPoint<double>(), max = in.ConsumeFloatingPoint<double>();
    const double small = in.ConsumeIntegralInRange(-2000, 2000) / 100.0;
    const double lo = in.ConsumeBool() ? min : small;
    const double hi = in.ConsumeBool() ? max : lo + in.ConsumeIntegralInRange(0, 3000) / 1000.0;
    const int max_ticks = in.ConsumeIntegralInRange(-1, 40);
    const trend::ValueTicks axis = trend::value_ticks(lo, hi, max_ticks);
    check(std::isfinite(axis.lo) && std::isfinite(axis.hi) && std::isfinite(axis.step) && axis.step > 0, "ticks finite",
          lo, hi);
    check(axis.ticks.size() == axis.labels.size() && axis.ticks.size() >= 2, "tick count", lo, hi);
    const bool across = axis.lo < 0 && axis.hi > 0;
    check(static_cast<int>(axis.ticks.size()) <= std::max(across ? 3 : 2, max_ticks), "too many ticks", lo, hi);
    for (const std::string& label : axis.labels)
        check(label.find("nan") == std::string::npos && label.find("inf") == std::string::npos, "a label of no number");
    const double e = std::floor(std::log10(axis.step) + 1e-9);
    const double mantissa = axis.step / std::pow(10.0, e);
    check(std::fabs(mantissa - 1) < 1e-9 || std::fabs(mantissa - 2) < 1e-9 || std::fabs(mantissa - 5) < 1e-9,
          "a step not 1, 2 or 5 times a power of ten", axis.step);
    const bool usable = std::isfinite(lo) && std::isfinite(hi) && std::max(std::fabs(lo), std::fabs(hi)) <= 1e200 &&
                        std::max(std::fabs(lo), std::fabs(hi)) >= 1e-200 && lo != hi;
    if (!usable) return;
    check(axis.lo <= std::min(lo, hi) && axis.hi >= std::max(lo, hi), "ticks do not cover the range", lo, hi);
    // The next finer round step, m × 10^x, and the fewest of its ticks
    // that cover the range, each tick the double nearest to k × m × 10^x:
    // k × m is whole and 10^x exact, so one rounding gives it. A bound on
    // a tick counts as covered by it, one an ulp beyond does not.
    const bool one = std::fabs(mantissa - 1) < 1e-9, two = std::fabs(mantissa - 2) < 1e-9;
    const double finer_mantissa = one ? 5 : two ? 1 : 2;
    const int finer_exponent = static_cast<int>(e) - (one ? 1 : 0);
    constexpr int kExactPowers = 22;  // 10^22 is the last power of ten a double holds
    if (std::abs(finer_exponent) > kExactPowers) return;
    const double power = std::pow(10.0, std::abs(finer_exponent));
    const double finer = finer_exponent < 0 ? finer_mantissa / power : finer_mantissa * power;
    const auto tick = [&](double k) {
        return finer_exponent < 0 ? k * finer_mantissa / power : k * finer_mantissa * power;
    };
    const double a = std::min(lo, hi), b = std::max(lo, hi);
    if (finer < std::max(std::fabs(a), std::fabs(b)) * 1e-12) return;
    double k_lo = std::floor(a / finer), k_hi = std::ceil(b / finer);
    if (tick(k_lo) > a) --k_lo;
    if (tick(k_lo + 1) <= a) ++k_lo;
    if (tick(k_hi) < b) ++k_hi;
    if (tick(k_hi - 1) >= b) --k_hi;
    const double count = k_hi - k_lo + 1;
    const int allowed = std::max(a < 0 && b > 0 ? 3 : 2, max_ticks);
    check(count > allowed, "a finer round step would have done", axis.step, finer);
}

void compare_time_step(FuzzedDataProvider& in) {
    const double span = in.ConsumeFloatingPointInRange<double>(0, 1e13);
    const int max_ticks = in.ConsumeIntegralInRange(-1, 60);
    const int64_t step = trend::time_step(0, span, max_ticks);
    const std::vector<int64_t>& steps = trend::time_steps();
    const auto it = std::find(steps.begin(), steps.end(), step);
    check(it != steps.end(), "a time step not in the list");
    const int allowed = std::max(1, max_ticks);
    if (it != steps.begin())
        check(std::floor(span / static_cast<double>(*(it - 1))) + 1 > allowed, "a finer time step would have done");
    if (step != steps.back())
        check(std::floor(span / static_cast<double>(step)) + 1 <= allowed, "too many time ticks");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    size_t capacity = 0;
    const std::vector<trendref::Appended> log = make_log(in, &capacity);
    const Series series = build(log, capacity);
    const trendref::Kept ref = trendref::judge(log, capacity);
    compare_series(series, ref);
    compare_queries(in, series, ref);
    if (log.size() <= kCsvReadouts && capacity == 0) compare_csv(in, log, capacity, series);
    compare_ticks(in);
    compare_time_step(in);
    return 0;
}
