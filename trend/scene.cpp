#include "trend/scene.h"

#include "trend/series.h"
#include "trend/ticks.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace trend {

static_assert(kStripCount == kReadingCount, "a strip for each reading");

namespace {

// The picture's colours: a light frame, white plots, one hue per reading
// (its band a paler tint of its line), grey for what is missing.
constexpr Color kBackground{246, 246, 246};
constexpr Color kPlot{255, 255, 255};
constexpr Color kGrid{232, 232, 232};
constexpr Color kAxis{110, 110, 110};
constexpr Color kText{30, 30, 30};
constexpr Color kGapShade{200, 200, 200};
constexpr Color kSelection{51, 153, 255, 64};
constexpr Color kLine[kStripCount] = {{31, 119, 180}, {214, 39, 40}, {44, 160, 44}, {148, 103, 189}};
constexpr Color kBand[kStripCount] = {{165, 201, 225}, {239, 169, 169}, {170, 217, 170}, {212, 194, 229}};

constexpr double kTickLength = 4.0;
constexpr double kValueRoom = 0.02;  // of the data's range, above and below it
// Value ticks at least this many text heights apart; time labels this many
// widths of a typical label apart.
constexpr double kValueTickSpacing = 2.0;
constexpr double kTimeTickSpacing = 1.5;
const char* const kTypicalTimeLabel = "00:00:00.000";

struct Axis {
    ValueRange range;
    ValueTicks ticks;
};

// The range a strip maps: locked, or the round axis around the data in view.
Axis value_axis(const SceneRequest& request, const Series& series, int reading, int max_ticks,
                bool* has_data) {
    std::vector<Column> whole;
    series.columns(reading, static_cast<double>(request.range.t0_ms), static_cast<double>(request.range.t1_ms),
                   1, whole);
    *has_data = !whole.empty() && whole[0].has_data;
    Axis axis;
    if (request.locked_y) {
        axis.range = (*request.locked_y)[reading];
        axis.ticks = value_ticks(axis.range.lo, axis.range.hi, max_ticks);
    } else {
        const double nan = std::nan("");
        // A little room around the data, so that its extremes stay off the
        // plot's edges, but never across zero: readings that never go
        // negative keep an axis that does not either.
        double lo = nan, hi = nan;
        if (*has_data) {
            const double room = kValueRoom * (whole[0].max - whole[0].min);
            lo = whole[0].min >= 0.0 ? std::max(0.0, whole[0].min - room) : whole[0].min - room;
            hi = whole[0].max <= 0.0 ? std::min(0.0, whole[0].max + room) : whole[0].max + room;
        }
        axis.ticks = value_ticks(lo, hi, max_ticks);
        axis.range = ValueRange{axis.ticks.lo, axis.ticks.hi};
    }
    if (!(axis.range.hi > axis.range.lo))
        axis.range.hi = axis.range.lo + 1.0;
    return axis;
}

double y_of(const Strip& strip, double value) {
    const double f = (value - strip.values.lo) / (strip.values.hi - strip.values.lo);
    const double y = strip.plot.y + strip.plot.h * (1.0 - f);
    // Locked ranges leave values outside: they stay on the plot's edge.
    return std::clamp(y, strip.plot.y, strip.plot.y + strip.plot.h);
}

// The point of a readout's reading outside the view that the mean line
// runs on to: where the time from it to the view's edge is not missing.
// `outside` is the readout just before t0 (after: false) or the first at or
// after t1 (after: true).
std::optional<Point> edge_readout(const Scene& scene, const Strip& strip, const Series& series, int reading,
                                  size_t outside, bool after) {
    // The step between `outside` and the readout next to it on the view's side.
    const size_t later = after ? outside : outside + 1;
    if (later == 0 || later >= series.size() || series.gap_before(later))
        return std::nullopt;
    const Readout o = series.at(outside);
    const Readout from = series.at(later - 1);
    if (std::isnan(o.value[reading]) || std::isnan(from.value[reading]))
        return std::nullopt;
    return Point{scene.x_of(o.time_ms), y_of(strip, o.value[reading])};
}

// The point where the line from a to b crosses x.
Point crossing(const Point& a, const Point& b, double x) {
    if (b.x == a.x)
        return Point{x, b.y};
    return Point{x, a.y + (b.y - a.y) * (x - a.x) / (b.x - a.x)};
}

// Bands, means and gap shading of one strip from its columns. The mean runs
// on to the plot's edges towards the readouts just outside the view, before
// and after, where no missing time lies between.
void draw_columns(Scene& scene, int reading, const Strip& strip, const std::vector<Column>& columns,
                  const std::optional<Point>& before, const std::optional<Point>& after) {
    Band band;
    band.fill = kBand[reading];
    band.columns.reserve(columns.size());
    Polyline run;
    run.stroke = kLine[reading];
    int gap_start = -1;
    bool any_gap = false;
    const int x0 = static_cast<int>(strip.plot.x);
    const double left = strip.plot.x, right = strip.plot.x + static_cast<double>(columns.size());
    auto end_run = [&] {
        if (!run.points.empty())
            scene.means.push_back(run);
        run.points.clear();
    };
    auto end_gap = [&](int k) {
        if (gap_start >= 0)
            scene.gaps.push_back(FillRect{strip.plot.x + gap_start, strip.plot.y, static_cast<double>(k - gap_start),
                                           strip.plot.h, kGapShade});
        gap_start = -1;
    };
    for (int k = 0; k < static_cast<int>(columns.size()); ++k) {
        const Column& c = columns[k];
        if (c.has_gap) {
            // The mean never reaches into missing time: its run ends before
            // the column and starts again after it; the band still shows the
            // readings the column has.
            if (gap_start < 0)
                gap_start = k;
            any_gap = true;
            end_run();
        } else {
            end_gap(k);
        }
        if (!c.has_data)
            continue;
        // At least a pixel tall, and on the plot even at its bottom edge.
        const double top = std::min(std::floor(y_of(strip, c.max)), strip.plot.y + strip.plot.h - 1.0);
        const double bottom = std::max(top + 1.0, std::ceil(y_of(strip, c.min)));
        band.columns.push_back(BandColumn{x0 + k, top, bottom});
        if (c.has_gap)
            continue;
        const Point p{x0 + k + 0.5, y_of(strip, c.mean)};
        if (run.points.empty() && !any_gap && before)
            run.points.push_back(crossing(*before, p, left));
        run.points.push_back(p);
    }
    end_gap(static_cast<int>(columns.size()));
    const bool open_to_the_end = columns.empty() || !columns.back().has_gap;
    if (!run.points.empty() && open_to_the_end && after)
        run.points.push_back(crossing(run.points.back(), *after, right));
    else if (run.points.empty() && !any_gap && before && after && !columns.empty())
        // The view lies between two readouts: the line crosses it whole.
        run.points = {crossing(*before, *after, left), crossing(*before, *after, right)};
    end_run();
    if (!band.columns.empty())
        scene.bands.push_back(std::move(band));
}

}  // namespace

const std::array<std::string, kStripCount>& strip_titles() {
    static const std::array<std::string, kStripCount> titles = [] {
        std::array<std::string, kStripCount> t;
        for (int r = 0; r < kStripCount; ++r)
            t[r] = reading_name(r) + " [" + reading_unit(r) + "]";
        return t;
    }();
    return titles;
}

double Scene::x_of(int64_t time_ms) const {
    const FillRect& plot = strips[0].plot;
    return plot.x + static_cast<double>(time_ms - range.t0_ms) * plot.w / static_cast<double>(range.width_ms());
}

int64_t Scene::time_at(double x) const {
    const FillRect& plot = strips[0].plot;
    if (plot.w <= 0.0)
        return range.t0_ms;
    return range.t0_ms + std::llround((x - plot.x) * static_cast<double>(range.width_ms()) / plot.w);
}

int Scene::strip_at(double y) const {
    for (int i = 0; i < kStripCount; ++i)
        if (y >= strips[i].plot.y && y < strips[i].plot.y + strips[i].plot.h)
            return i;
    return -1;
}

std::array<ValueRange, kStripCount> Scene::value_ranges() const {
    std::array<ValueRange, kStripCount> ranges;
    for (int i = 0; i < kStripCount; ++i)
        ranges[i] = strips[i].values;
    return ranges;
}

Scene build_scene(const SceneRequest& request, const Series& series) {
    Scene scene;
    scene.width = std::max(0, request.width);
    scene.height = std::max(0, request.height);
    scene.font_px = request.font_px;
    scene.background = kBackground;
    scene.range = request.range;
    if (scene.range.t1_ms <= scene.range.t0_ms)
        scene.range.t1_ms = scene.range.t0_ms + 1;

    const double text_h = std::max(1.0, std::ceil(request.measure("0", false).height));
    const double pad = std::round(text_h / 2.0);

    // Vertically: each strip a title line above its plot; the time labels
    // below the last one.
    const double time_axis_h = kTickLength + text_h + pad;
    const double strip_h = std::max(0.0, std::floor((scene.height - pad - time_axis_h) / kStripCount));
    const double title_h = std::ceil(text_h + pad / 2.0);
    const double plot_h = std::max(0.0, strip_h - title_h - pad);
    const int max_value_ticks = std::max(2, static_cast<int>(plot_h / (kValueTickSpacing * text_h)) + 1);

    std::array<Axis, kStripCount> axes;
    double label_w = 0.0;
    for (int r = 0; r < kStripCount; ++r) {
        axes[r] = value_axis(request, series, r, max_value_ticks, &scene.strips[r].has_data);
        for (const std::string& label : axes[r].ticks.labels)
            label_w = std::max(label_w, request.measure(label, false).width);
    }

    // Horizontally: the value labels on the left, half a time label's room
    // on the right.
    const double typical_time_w = request.measure(kTypicalTimeLabel, false).width;
    const double left = std::ceil(pad + label_w + kTickLength + 2.0);
    const double right = std::ceil(pad + typical_time_w / 2.0);
    const int n_px = std::max(0, static_cast<int>(scene.width - left - right));

    std::vector<Column> columns;
    for (int r = 0; r < kStripCount; ++r) {
        Strip& strip = scene.strips[r];
        const double top = pad + r * strip_h;
        strip.title = strip_titles()[r];
        strip.plot = FillRect{left, top + title_h, static_cast<double>(n_px), plot_h, kPlot};
        strip.values = axes[r].range;
        scene.rects.push_back(strip.plot);
        scene.labels.push_back(Label{left, top, strip.title, HAlign::Left, VAlign::Top, kLine[r], true});

        const double plot_bottom = strip.plot.y + strip.plot.h;
        scene.segments.push_back(Segment{{left - 0.5, strip.plot.y}, {left - 0.5, plot_bottom}, kAxis});
        scene.segments.push_back(Segment{{left, plot_bottom + 0.5}, {left + n_px, plot_bottom + 0.5}, kAxis});
        for (size_t i = 0; i < axes[r].ticks.ticks.size(); ++i) {
            const double v = axes[r].ticks.ticks[i];
            if (v < strip.values.lo || v > strip.values.hi)
                continue;
            const double y = std::round(y_of(strip, v)) + 0.5;
            scene.grid.push_back(Segment{{left, y}, {left + n_px, y}, kGrid});
            scene.segments.push_back(Segment{{left - kTickLength, y}, {left, y}, kAxis});
            scene.labels.push_back(
                Label{left - kTickLength - 2.0, y, axes[r].ticks.labels[i], HAlign::Right, VAlign::Middle, kText});
        }

        series.columns(r, static_cast<double>(scene.range.t0_ms), static_cast<double>(scene.range.t1_ms), n_px,
                       columns);
        const size_t first_in = series.lower_bound(scene.range.t0_ms);
        const std::optional<Point> before =
            first_in == 0 ? std::nullopt : edge_readout(scene, strip, series, r, first_in - 1, false);
        const std::optional<Point> after =
            edge_readout(scene, strip, series, r, series.lower_bound(scene.range.t1_ms), true);
        draw_columns(scene, r, strip, columns, before, after);
    }

    // The shared time axis: grid lines through every strip, labels under the
    // last.
    const Strip& last = scene.strips[kStripCount - 1];
    const double axis_y = last.plot.y + last.plot.h;
    const int max_time_ticks = std::max(1, static_cast<int>(n_px / (kTimeTickSpacing * typical_time_w)));
    for (const TimeTick& tick :
         time_ticks(static_cast<double>(scene.range.t0_ms), static_cast<double>(scene.range.t1_ms), max_time_ticks)) {
        const double x = std::floor(scene.x_of(tick.time_ms)) + 0.5;
        if (x < left || x > left + n_px)
            continue;
        for (const Strip& strip : scene.strips)
            scene.grid.push_back(Segment{{x, strip.plot.y}, {x, strip.plot.y + strip.plot.h}, kGrid});
        scene.segments.push_back(Segment{{x, axis_y}, {x, axis_y + kTickLength}, kAxis});
        // A label centred on its tick, moved in where it would come nearer
        // the picture's edge than the margin.
        const double half = request.measure(tick.label, tick.day).width / 2.0;
        const double label_x = std::clamp(x, pad + half, std::max(pad + half, scene.width - pad - half));
        scene.labels.push_back(
            Label{label_x, axis_y + kTickLength + 1.0, tick.label, HAlign::Center, VAlign::Top, kText, tick.day});
    }

    if (request.selection && n_px > 0) {
        const double a = std::clamp(scene.x_of(request.selection->t0_ms), left, left + n_px);
        const double b = std::clamp(scene.x_of(request.selection->t1_ms), left, left + n_px);
        if (b > a)
            for (const Strip& strip : scene.strips)
                scene.overlay.push_back(FillRect{a, strip.plot.y, b - a, strip.plot.h, kSelection});
    }
    return scene;
}

}  // namespace trend
