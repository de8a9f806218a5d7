// The trend's core on a day's log: a CSV of 2.6 million readouts (one every
// 33 ms, as talviro_read --interval 0.033 writes it, about 180 MB) made in a
// temporary folder, then
//   load            open and read it all into a Series (file in the page cache)
//   columns/<span>  the four readings' columns of a 1920 px redraw, at zooms
//                   from the whole day down to one second
//   scene/<span>    the whole picture of a 1920x1080 redraw laid out
//   scene_with_power/<span>  the same with the power strip shown
//   selection/<span> a selection's statistics of the four readings and its
//                   integrals (charge, energy), over most of the day and a minute
//   levels          the same readouts appended from memory: the levels' cost
//   live            one readout appended to a live series of 1 M readouts and
//                   its four readings' columns for a 10 min span at 1920 px
// TALVIRO_TREND_BENCH_ROWS sets another number of readouts (the smoke test's).
#include "trend/civil.h"
#include "trend/csv_log.h"
#include "trend/scene.h"
#include "trend/series.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int64_t kDayReadouts = 2'600'000;
constexpr int64_t kIntervalMs = 33;
constexpr int64_t kStartMs = 1'796'688'000'000;  // 2026-12-08T00:00:00Z
constexpr int kWidthPx = 1920;
constexpr int kSceneHeightPx = 1080;
constexpr double kGlyphWidthPx = 7.0, kGlyphHeightPx = 14.0;
constexpr int64_t kLiveReadouts = 1'000'000;
constexpr int64_t kLiveSpanMs = 10 * 60'000;
constexpr const char* kHeader =
    "time,A1_V,I_supply_mA,V_target_V,A0_V,A1_count,I_supply_count,V_target_count,A0_count\n";

int64_t readout_count() {
    const char* rows = std::getenv("TALVIRO_TREND_BENCH_ROWS");
    return rows ? std::max<int64_t>(2, std::atoll(rows)) : kDayReadouts;
}

// Appends "2026-12-08T01:33:00.123Z" as talviro_read writes it.
void put_time(std::string& out, int64_t ms) {
    const int64_t days = ms / 86'400'000;
    const int64_t in_day = ms % 86'400'000;
    int y, m, d;
    trend::civil_from_days(days, &y, &m, &d);
    char text[32];
    const int h = static_cast<int>(in_day / 3'600'000), min = static_cast<int>(in_day / 60'000 % 60);
    const int s = static_cast<int>(in_day / 1000 % 60), milli = static_cast<int>(in_day % 1000);
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, m, d, h, min, s, milli);
    out += text;
}

// A day of a board that sleeps and wakes: V target near 3.30 V, the supply
// current between a sleep floor and a radio's spikes, two analogue inputs,
// a probe lost for a minute at noon and a single-readout spike.
const std::string& log_path() {
    static const std::string path = [] {
        const auto folder = std::filesystem::temp_directory_path() / "talviro_trend_bench";
        std::filesystem::create_directories(folder);
        const std::string file = (folder / "day.csv").string();
        std::FILE* out = std::fopen(file.c_str(), "wb");
        if (!out) std::abort();
        std::string chunk = kHeader;
        const int64_t n = readout_count();
        for (int64_t i = 0; i < n; ++i) {
            put_time(chunk, kStartMs + i * kIntervalMs);
            const bool lost = i >= n / 2 && i < n / 2 + 1800;
            if (lost) {
                chunk += ",,,,,,,,\n";
            } else {
                const int a1 = static_cast<int>(512 + 400 * std::sin(i * 1e-4));
                const int current = i == n / 3 ? 1023 : (i % 300 < 20 ? 400 + static_cast<int>(i % 97) : 12 + static_cast<int>(i % 5));
                const int target = 296 + static_cast<int>(i % 3);
                const int a0 = static_cast<int>(i * 7 % 1024);
                char row[160];
                std::snprintf(row, sizeof row, ",%.2f,%.0f,%.2f,%.2f,%d,%d,%d,%d\n", a1 * 11.410286 / 1024,
                              current * 1050.2565 / 1024, target * 11.410286 / 1024, a0 * 11.410286 / 1024, a1,
                              current, target, a0);
                chunk += row;
            }
            if (chunk.size() > (1 << 20)) {
                std::fwrite(chunk.data(), 1, chunk.size(), out);
                chunk.clear();
            }
        }
        std::fwrite(chunk.data(), 1, chunk.size(), out);
        std::fclose(out);
        return file;
    }();
    return path;
}

// The log loaded once for the column benchmarks.
const trend::Series& day_series() {
    static const std::unique_ptr<trend::Series> series = [] {
        auto s = std::make_unique<trend::Series>(0);
        trend::CsvLog log;
        std::string error;
        if (!log.open(log_path(), &error)) std::abort();
        log.read_all(*s);
        return s;
    }();
    return *series;
}

void BM_Load(benchmark::State& state) {
    const std::string& path = log_path();
    const double bytes = static_cast<double>(std::filesystem::file_size(path));
    size_t readouts = 0, memory = 0;
    for (auto _ : state) {
        trend::Series series(0);
        trend::CsvLog log;
        std::string error;
        if (!log.open(path, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        log.read_all(series);
        readouts = series.size();
        memory = series.memory_bytes();
        benchmark::DoNotOptimize(readouts);
    }
    state.counters["readouts"] = static_cast<double>(readouts);
    state.counters["csv_MB"] = bytes / 1e6;
    state.counters["bytes_per_readout"] = static_cast<double>(memory) / static_cast<double>(readouts);
    state.counters["MB_per_s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A 1920 px redraw's columns of all four readings; the span centred on the
// lost minute, from the whole day down to one second.
void BM_Columns(benchmark::State& state) {
    const trend::Series& series = day_series();
    const double span = static_cast<double>(state.range(0));
    const double middle = static_cast<double>(series.first_time() + series.last_time()) / 2;
    const double t0 = std::max(static_cast<double>(series.first_time()), middle - span / 2);
    std::vector<trend::Column> columns;
    for (auto _ : state) {
        for (int reading = 0; reading < trend::kReadingCount; ++reading) {
            series.columns(reading, t0, t0 + span, kWidthPx, columns);
            benchmark::DoNotOptimize(columns.data());
        }
    }
    state.counters["readouts_in_view"] =
        static_cast<double>(series.stats(0, static_cast<int64_t>(t0), static_cast<int64_t>(t0 + span)).readouts);
}
BENCHMARK(BM_Columns)
    ->Name("columns/span_ms")
    ->Arg(kDayReadouts * kIntervalMs)
    ->Arg(3'600'000)
    ->Arg(60'000)
    ->Arg(1'000)
    ->Unit(benchmark::kMicrosecond);

// The whole picture laid out (trend/scene.h) at 1920x1080 over the same
// spans: the columns above plus axes, ticks, bands and means; text measured
// as fixed-width glyphs, so the toolkit's fonts stay out of the figure.
void scene(benchmark::State& state, bool power) {
    const trend::Series& series = day_series();
    const int64_t span = state.range(0);
    const int64_t middle = (series.first_time() + series.last_time()) / 2;
    trend::SceneRequest request;
    request.width = kWidthPx;
    request.height = kSceneHeightPx;
    request.range.t0_ms = std::max(series.first_time(), middle - span / 2);
    request.range.t1_ms = request.range.t0_ms + span;
    request.measure = [](const std::string& text, bool) {
        return trend::TextSize{kGlyphWidthPx * static_cast<double>(text.size()), kGlyphHeightPx};
    };
    request.shown[trend::kPowerStrip] = power;
    for (auto _ : state) {
        const trend::Scene scene = trend::build_scene(request, series);
        benchmark::DoNotOptimize(scene.bands.data());
    }
}
void BM_Scene(benchmark::State& state) { scene(state, false); }
BENCHMARK(BM_Scene)
    ->Name("scene/span_ms")
    ->Arg(kDayReadouts * kIntervalMs)
    ->Arg(60'000)
    ->Unit(benchmark::kMicrosecond);
// With the power strip shown too: its columns are integrals, one a pixel.
void BM_ScenePower(benchmark::State& state) { scene(state, true); }
BENCHMARK(BM_ScenePower)
    ->Name("scene_with_power/span_ms")
    ->Arg(kDayReadouts * kIntervalMs)
    ->Arg(60'000)
    ->Unit(benchmark::kMicrosecond);

// A selection's figures as the window shows them: the four readings'
// statistics and the integrals over the whole day but its first and last
// minute (2.6 M readouts), and over a minute.
void BM_SelectionFigures(benchmark::State& state) {
    const trend::Series& series = day_series();
    const int64_t span = std::min(state.range(0), series.last_time() - series.first_time());
    const int64_t t0 = series.first_time() + (series.last_time() - series.first_time() - span) / 2;
    double sink = 0;
    for (auto _ : state) {
        for (int reading = 0; reading < trend::kReadingCount; ++reading)
            sink += series.stats(reading, t0, t0 + span).mean;
        const trend::Integrals in = series.integrals(t0, t0 + span);
        sink += in.charge_mC + in.energy_mJ;
        benchmark::DoNotOptimize(sink);
    }
    state.counters["readouts"] = static_cast<double>(series.integrals(t0, t0 + span).readouts);
}
BENCHMARK(BM_SelectionFigures)
    ->Name("selection/span_ms")
    ->Arg(kDayReadouts * kIntervalMs - 120'000)
    ->Arg(60'000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();

// The levels built: the day's readouts, already in memory, appended to an
// unbounded series, as a log's rows are once parsed.
void BM_Levels(benchmark::State& state) {
    const trend::Series& day = day_series();
    std::vector<trend::Readout> readouts(day.size());
    for (size_t i = 0; i < day.size(); ++i) readouts[i] = day.at(i);
    for (auto _ : state) {
        trend::Series series(0);
        for (const trend::Readout& r : readouts) series.append(r);
        benchmark::DoNotOptimize(series.size());
    }
    state.counters["ns_per_readout"] = benchmark::Counter(
        static_cast<double>(readouts.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Levels)->Name("levels")->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

void BM_LiveAppendAndColumns(benchmark::State& state) {
    trend::Series series;
    int64_t t = kStartMs;
    for (int64_t i = 0; i < kLiveReadouts; ++i, t += 1000)
        series.append({t, {3.3f, static_cast<float>(i % 50), 1.0f, 2.0f}});
    std::vector<trend::Column> columns;
    for (auto _ : state) {
        series.append({t, {3.3f, static_cast<float>(t % 50), 1.0f, 2.0f}});
        for (int reading = 0; reading < trend::kReadingCount; ++reading) {
            series.columns(reading, static_cast<double>(t - kLiveSpanMs), static_cast<double>(t + 1), kWidthPx, columns);
            benchmark::DoNotOptimize(columns.data());
        }
        t += 1000;
    }
}
BENCHMARK(BM_LiveAppendAndColumns)->Name("live/append_and_columns")->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(log_path()).parent_path(), ec);
    return 0;
}
