#include "cli/watch_view.h"

#include "console/time_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>

namespace cli {

namespace {

// U+2581 LOWER ONE EIGHTH BLOCK ... U+2588 FULL BLOCK.
const char* const kBlockGlyphs[kSparkLevels] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                                "\u2585", "\u2586", "\u2587", "\u2588"};
constexpr char kAsciiGlyphs[kSparkLevels + 1] = ".:-=+*%#";
constexpr char kGap = ' ';

constexpr double kMsPerSecond = 1000.0;
constexpr size_t kNameWidth = 10;   // "V target" and room
constexpr size_t kValueWidth = 9;  // "1050 mA", "11.41 V" and room
const char* const kColumnGap = "  ";
const char* const kNotResponding = "TALVIRO not responding";
const char* const kWaitingFor = "waiting for ";
const char* const kKeys = "r reset statistics and trends   q quit";

std::string right_aligned(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string left_aligned(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// "0.2 s", "1 s": the shortest text that reads back as the interval.
std::string interval_text(uint64_t interval_ms) {
    char buf[32];
    const auto result =
        std::to_chars(buf, buf + sizeof buf, static_cast<double>(interval_ms) / kMsPerSecond);
    return std::string(buf, result.ptr) + " s";
}

std::string title_line(const WatchModel& model, const ViewSettings& settings) {
    std::string title = "Serial: " + settings.serial;
    if (model.has_latest()) title += kColumnGap + console::local_time_text(model.latest_wall_ms(), false);
    title += std::string(kColumnGap) + "readouts: " + std::to_string(model.readouts());
    title += std::string(kColumnGap) + "interval: " + interval_text(settings.interval_ms);
    if (model.waiting())
        title += std::string(kColumnGap) + kWaitingFor + settings.serial;
    else if (model.has_latest() && !model.latest().whole())
        title += std::string(kColumnGap) + kNotResponding;
    return title;
}

std::string heading_line(const WatchModel& model) {
    const uint64_t covered = model.statistics().readouts();
    const bool since_reset = covered < model.readouts();
    return left_aligned("reading", kNameWidth) + right_aligned("now", kValueWidth) +
           right_aligned("min", kValueWidth) + right_aligned("mean", kValueWidth) +
           right_aligned("max", kValueWidth) + kColumnGap + (since_reset ? "trend since reset, " : "trend since start, ") +
           std::to_string(covered) + (covered == 1 ? " readout" : " readouts");
}

std::string row_line(const WatchModel& model, int i, const ViewSettings& settings, size_t width) {
    const readings::Channel& channel = readings::kChannels[i];
    const Statistics::Range range = model.statistics().range(i);
    auto shown = [&](double reading) {
        return readings::format_reading(channel.kind, static_cast<float>(reading));
    };
    std::string now;
    // A probe that is away has no value now; what it had is in the trend.
    if (model.has_latest() && !model.waiting()) {
        const Conversion& c = model.latest().conversions[static_cast<size_t>(i)];
        now = c.whole ? shown(readings::reading_from_count(channel.kind, c.count))
                      : readings::format_missing(channel.kind);
    }
    const bool known = range.whole > 0;
    std::string row = left_aligned(readings::channel_name(channel), kNameWidth) + right_aligned(now, kValueWidth) +
                      right_aligned(known ? shown(range.min) : "", kValueWidth) +
                      right_aligned(known ? shown(range.mean) : "", kValueWidth) +
                      right_aligned(known ? shown(range.max) : "", kValueWidth) + kColumnGap;
    if (row.size() >= width) return row.substr(0, width);
    return row + sparkline(model.trend(i), range.min, range.max, width - row.size(), settings.unicode);
}

}  // namespace

int spark_level(double reading, double min, double max) {
    if (!(max > min)) return kFlatSparkLevel;
    const double position = (reading - min) / (max - min) * (kSparkLevels - 1);
    return static_cast<int>(std::lround(std::clamp(position, 0.0, static_cast<double>(kSparkLevels - 1))));
}

std::string sparkline(const std::deque<TrendPoint>& trend, double min, double max, size_t width,
                      bool unicode) {
    const size_t shown = std::min(trend.size(), width);
    std::string line(width - shown, kGap);
    for (auto point = trend.end() - static_cast<std::ptrdiff_t>(shown); point != trend.end(); ++point) {
        if (!*point) {
            line += kGap;
            continue;
        }
        const int level = spark_level(**point, min, max);
        if (unicode)
            line += kBlockGlyphs[level];
        else
            line += kAsciiGlyphs[level];
    }
    return line;
}

void WatchModel::add(int64_t wall_ms, const Sample& sample) {
    statistics_.add(sample);
    for (int i = 0; i < readings::kChannelCount; ++i) {
        const Conversion& c = sample.conversions[static_cast<size_t>(i)];
        std::deque<TrendPoint>& trend = trends_[static_cast<size_t>(i)];
        trend.push_back(c.whole ? TrendPoint(readings::reading_from_count(readings::kChannels[i].kind, c.count))
                                : std::nullopt);
        if (trend.size() > kTrendCapacity) trend.pop_front();
    }
    latest_ = sample;
    latest_wall_ms_ = wall_ms;
    ++readouts_;
}

void WatchModel::reset() {
    statistics_ = Statistics();
    for (std::deque<TrendPoint>& trend : trends_) trend.clear();
}

std::vector<std::string> watch_screen(const WatchModel& model, const ViewSettings& settings, size_t width) {
    std::vector<std::string> lines = {title_line(model, settings), "", heading_line(model)};
    for (auto& line : lines) line = line.substr(0, width);
    for (int i = 0; i < readings::kChannelCount; ++i) lines.push_back(row_line(model, i, settings, width));
    lines.push_back("");
    lines.push_back(std::string(kKeys).substr(0, width));
    return lines;
}

}  // namespace cli
