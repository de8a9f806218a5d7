#include "trend/scene.h"

#include "trend/palette.h"
#include "trend/series.h"
#include "trend/ticks.h"

#include <algorithm>
#include <cmath>

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
constexpr Color kMarker{200, 90, 0};
constexpr double kMarkerWidth = 1.5;
constexpr Color kLine[kSceneStripCount] = {{31, 119, 180}, {214, 39, 40}, {44, 160, 44}, {148, 103, 189},
                                           {140, 86, 75}};
constexpr Color kBand[kSceneStripCount] = {{165, 201, 225}, {239, 169, 169}, {170, 217, 170}, {212, 194, 229},
                                           {206, 178, 172}};
const char* const kPowerTitle = "P target [mW]";

constexpr double kTickLength = 4.0;
constexpr double kSpikePx = 3.0;
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

// The extremes of a strip's columns, as one column.
Column whole_of(const std::vector<Column>& columns) {
    Column whole{std::nanf(""), std::nanf(""), std::nanf(""), false, false};
    for (const Column& c : columns) {
        if (!c.has_data) continue;
        whole.min = whole.has_data ? std::min(whole.min, c.min) : c.min;
        whole.max = whole.has_data ? std::max(whole.max, c.max) : c.max;
        whole.has_data = true;
    }
    return whole;
}

// The range a strip maps: locked (the readings' strips), or the round axis
// around the data in view.
Axis value_axis(const SceneRequest& request, const std::vector<Column>& whole, int strip, int max_ticks,
                bool* has_data) {
    *has_data = !whole.empty() && whole[0].has_data;
    Axis axis;
    if (request.locked_y && strip < kStripCount) {
        axis.range = (*request.locked_y)[strip];
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

// A column whose band reaches kSpikePx beyond both neighbours' (a readout
// far from the ones around it) gets a line from its mean to that extreme in
// the mean's colour: the pale band alone is lost at full zoom-out.
void mark_spikes(Scene& scene, int reading, const Strip& strip, const std::vector<Column>& columns,
                 const Band& band) {
    const int x0 = static_cast<int>(strip.plot.x);
    for (size_t i = 0; i < band.columns.size(); ++i) {
        const BandColumn& b = band.columns[i];
        const Column& c = columns[static_cast<size_t>(b.x - x0)];
        if (c.has_gap)
            continue;
        // Neighbours without readings do not hide a spike.
        const BandColumn* left = i > 0 && band.columns[i - 1].x == b.x - 1 ? &band.columns[i - 1] : nullptr;
        const BandColumn* right =
            i + 1 < band.columns.size() && band.columns[i + 1].x == b.x + 1 ? &band.columns[i + 1] : nullptr;
        if (!left && !right)
            continue;
        const double above = std::min(left ? left->top : b.bottom, right ? right->top : b.bottom);
        const double below = std::max(left ? left->bottom : b.top, right ? right->bottom : b.top);
        const double mean_y = y_of(strip, c.mean), x = b.x + 0.5;
        if (b.top <= above - kSpikePx)
            scene.means.push_back(Polyline{{Point{x, b.top}, Point{x, mean_y}}, kLine[reading]});
        if (b.bottom >= below + kSpikePx)
            scene.means.push_back(Polyline{{Point{x, mean_y}, Point{x, b.bottom - 1.0}}, kLine[reading]});
    }
}

// The point of a readout's reading outside the view that the mean line
// runs on to, where the time from it to the view's edge is not missing:
// false when there is none. `outside` is the readout just before t0 (after:
// false) or the first at or after t1 (after: true).
bool edge_readout(const Scene& scene, const Strip& strip, const Series& series, int reading, size_t outside,
                  bool after, Point* point) {
    // The step between `outside` and the readout next to it on the view's side.
    const size_t later = after ? outside : outside + 1;
    if (later == 0 || later >= series.size() || series.gap_before(later))
        return false;
    const Readout o = series.at(outside);
    const Readout from = series.at(later - 1);
    if (std::isnan(o.value[reading]) || std::isnan(from.value[reading]))
        return false;
    *point = Point{scene.x_of(o.time_ms), y_of(strip, o.value[reading])};
    return true;
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
                  const Point* before, const Point* after) {
    Band band;
    band.fill = kBand[reading];
    band.columns.reserve(columns.size());
    Polyline run;
    run.stroke = kLine[reading];
    int gap_start = -1;
    bool opened_by_gap = false;  // the run's one point is a gap column's
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
            if (opened_by_gap)
                run.points.clear();
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
        // Readings in a column with missing time (a Connect after a
        // Disconnect) start the next run at the column's right edge, where
        // the missing time is over, unless more missing time follows.
        opened_by_gap = c.has_gap;
        if (c.has_gap) {
            run.points.assign(1, Point{x0 + k + 1.0, y_of(strip, c.mean)});
            continue;
        }
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
    mark_spikes(scene, reading, strip, columns, band);
    if (!band.columns.empty())
        scene.bands.push_back(std::move(band));
}

}  // namespace

const std::array<std::string, kSceneStripCount>& strip_titles() {
    static const std::array<std::string, kSceneStripCount> titles = [] {
        std::array<std::string, kSceneStripCount> t;
        for (int r = 0; r < kStripCount; ++r)
            t[r] = reading_name(r) + " [" + reading_unit(r) + "]";
        t[kPowerStrip] = kPowerTitle;
        return t;
    }();
    return titles;
}

void power_columns(const Series& series, double t0_ms, double t1_ms, int n, std::vector<Column>& out) {
    std::vector<Column> volts, amps;
    series.columns(kVTarget, t0_ms, t1_ms, n, volts);
    series.columns(kISupply, t0_ms, t1_ms, n, amps);
    out.assign(volts.size(), Column{std::nanf(""), std::nanf(""), std::nanf(""), false, false});
    const double step = (t1_ms - t0_ms) / std::max(1, n);
    for (size_t k = 0; k < out.size(); ++k) {
        Column& c = out[k];
        c.has_gap = volts[k].has_gap || amps[k].has_gap;
        const int64_t from = std::llround(t0_ms + step * static_cast<double>(k));
        const int64_t to = std::llround(t0_ms + step * static_cast<double>(k + 1));
        if (to <= from) continue;
        const Integrals in = series.integrals(from, to);
        if (in.power_ms <= 0 || std::isnan(in.mean_power_mW)) continue;
        c.min = c.max = c.mean = static_cast<float>(in.mean_power_mW);
        c.has_data = true;
    }
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
    for (int i = 0; i < kSceneStripCount; ++i)
        if (strips[i].shown && y >= strips[i].plot.y && y < strips[i].plot.y + strips[i].plot.h)
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
    const double t0 = static_cast<double>(scene.range.t0_ms), t1 = static_cast<double>(scene.range.t1_ms);

    const double text_h = std::max(1.0, std::ceil(request.measure("0", false).height));
    const double pad = std::round(text_h / 2.0);

    // Vertically: each shown strip a title line above its plot, sharing the
    // height; the time labels below the last one.
    const int shown_count =
        static_cast<int>(std::count(request.shown.begin(), request.shown.end(), true));
    const double time_axis_h = kTickLength + text_h + pad;
    const double title_line = request.title.empty() ? 0.0 : std::ceil(text_h + pad / 2.0);
    const double strip_h =
        std::max(0.0, std::floor((scene.height - pad - title_line - time_axis_h) / std::max(1, shown_count)));
    const double title_h = std::ceil(text_h + pad / 2.0);
    const double plot_h = std::max(0.0, strip_h - title_h - pad);
    const int max_value_ticks = std::max(2, static_cast<int>(plot_h / (kValueTickSpacing * text_h)) + 1);

    // Horizontally: the value labels on the left, half a time label's room
    // on the right.
    const double typical_time_w = request.measure(kTypicalTimeLabel, false).width;
    const double right = std::ceil(pad + typical_time_w / 2.0);
    std::array<Axis, kSceneStripCount> axes;
    std::vector<Column> whole;
    double label_w = 0.0;
    const auto widen = [&](const Axis& axis) {
        for (const std::string& label : axis.ticks.labels)
            label_w = std::max(label_w, request.measure(label, false).width);
    };
    for (int r = 0; r < kStripCount; ++r) {
        scene.strips[r].shown = request.shown[r];
        if (!request.shown[r]) continue;
        series.columns(r, t0, t1, 1, whole);
        axes[r] = value_axis(request, whole, r, max_value_ticks, &scene.strips[r].has_data);
        widen(axes[r]);
    }
    const auto plot_width = [&] {
        return std::max(0, static_cast<int>(scene.width - std::ceil(pad + label_w + kTickLength + 2.0) - right));
    };
    // The power's axis is of its columns, which need the plot's width: once
    // for the width the readings' labels leave, again if its own labels
    // take more room.
    std::vector<Column> power;
    Strip& power_strip = scene.strips[kPowerStrip];
    power_strip.shown = request.shown[kPowerStrip];
    if (power_strip.shown) {
        int n = plot_width();
        power_columns(series, t0, t1, n, power);
        axes[kPowerStrip] = value_axis(request, {whole_of(power)}, kPowerStrip, max_value_ticks, &power_strip.has_data);
        widen(axes[kPowerStrip]);
        if (plot_width() != n) {
            n = plot_width();
            power_columns(series, t0, t1, n, power);
            axes[kPowerStrip] =
                value_axis(request, {whole_of(power)}, kPowerStrip, max_value_ticks, &power_strip.has_data);
        }
    }
    const double left = std::ceil(pad + label_w + kTickLength + 2.0);
    const int n_px = plot_width();

    if (!request.title.empty())
        scene.labels.push_back(Label{pad, pad, request.title, HAlign::Left, VAlign::Top, kText, true});
    std::vector<Column> columns;
    // The readouts in view, to run the lines on to those just outside it.
    const size_t first_in = series.lower_bound(scene.range.t0_ms);
    const size_t first_after = series.lower_bound(scene.range.t1_ms);
    const Strip* first = nullptr;
    const Strip* last = nullptr;
    double top = pad + title_line;
    for (int r = 0; r < kSceneStripCount; ++r) {
        Strip& strip = scene.strips[r];
        strip.title = strip_titles()[r];
        if (!strip.shown) {
            // No room: a line at the top of the next strip, with no data.
            strip.plot = FillRect{left, top + title_h, static_cast<double>(n_px), 0.0, kPlot};
            strip.values = ValueRange{0.0, 1.0};
            strip.has_data = false;
            continue;
        }
        if (!first) first = &strip;
        last = &strip;
        strip.plot = FillRect{left, top + title_h, static_cast<double>(n_px), plot_h, kPlot};
        top += strip_h;
        strip.values = axes[r].range;
        scene.rects.push_back(strip.plot);
        scene.labels.push_back(Label{left, strip.plot.y - title_h, strip.title, HAlign::Left, VAlign::Top, kLine[r], true});

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

        if (r == kPowerStrip) {
            // Means of columns only: no readout's value to run on to.
            draw_columns(scene, r, strip, power, nullptr, nullptr);
            continue;
        }
        series.columns(r, t0, t1, n_px, columns);
        Point before, after;
        const bool has_before =
            first_in > 0 && edge_readout(scene, strip, series, r, first_in - 1, false, &before);
        const bool has_after = edge_readout(scene, strip, series, r, first_after, true, &after);
        draw_columns(scene, r, strip, columns, has_before ? &before : nullptr, has_after ? &after : nullptr);
    }

    // The shared time axis: grid lines through every shown strip, labels
    // under the last.
    const double axis_y = last ? last->plot.y + last->plot.h : pad + title_line;
    const int max_time_ticks = std::max(1, static_cast<int>(n_px / (kTimeTickSpacing * typical_time_w)));
    // Without readouts the time says nothing (an empty trend's range starts
    // in 1970): no time labels.
    const std::vector<TimeTick> ticks =
        series.empty() ? std::vector<TimeTick>{} : time_ticks(t0, t1, max_time_ticks);
    for (const TimeTick& tick : ticks) {
        const double x = std::floor(scene.x_of(tick.time_ms)) + 0.5;
        if (x < left || x > left + n_px)
            continue;
        for (const Strip& strip : scene.strips)
            if (strip.shown)
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
                if (strip.shown) scene.overlay.push_back(FillRect{a, strip.plot.y, b - a, strip.plot.h, kSelection});
    }
    for (size_t i = 0; i < request.markers.size() && n_px > 0 && first; ++i) {
        const double x = scene.x_of(request.markers[i]);
        if (x < left || x > left + n_px) continue;
        for (const Strip& strip : scene.strips)
            if (strip.shown)
                scene.segments.push_back(
                    Segment{{x, strip.plot.y}, {x, strip.plot.y + strip.plot.h}, kMarker, kMarkerWidth});
        const std::string name(1, static_cast<char>('A' + i % 26));
        scene.labels.push_back(Label{x, first->plot.y, name, HAlign::Center, VAlign::Top, kMarker, true});
    }
    scene.dark = request.dark;
    if (request.dark)
        darken(scene);
    return scene;
}

}  // namespace trend
