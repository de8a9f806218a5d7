// The trend picture laid out for a given size in pixels: the four readings'
// strips and the target's power, those shown stacked on one shared
// local-time axis, as plain shapes that a painter (gui/
// trend_painter.h) or the SVG writer (trend/svg.h) only has to draw in order.
// Pure: the text measure is passed in, the clock and the toolkit stay out.
// Its cost grows with the pixels, not with the readouts held.
#ifndef TALVIRO_TREND_SCENE_H
#define TALVIRO_TREND_SCENE_H

#include "trend/series.h"
#include "trend/view.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace trend {

class Series;

// The strips of a scene: the readings' in their row order, then the
// target's power P = V target · I supply [mW].
constexpr int kPowerStrip = kStripCount;
constexpr int kSceneStripCount = kStripCount + 1;
// Shown unless the user hides them: the readings', not the power's.
constexpr std::array<bool, kSceneStripCount> kDefaultShownStrips = {true, true, true, true, false};

struct Color {
    uint8_t r = 0, g = 0, b = 0;
    uint8_t a = 255;  // 255 opaque
    bool operator==(const Color& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

struct Point {
    double x = 0.0, y = 0.0;
};

// Pixel coordinates: x to the right, y down, (0,0) the picture's top left
// corner; a shape covers [x, x + w) × [y, y + h).
struct FillRect {
    double x = 0.0, y = 0.0, w = 0.0, h = 0.0;
    Color fill;
};

// A straight line (axis, tick mark, grid line, selection edge).
struct Segment {
    Point from, to;
    Color stroke;
    double width = 1.0;
};

// The mean of one strip: a run of points with no gap inside it.
struct Polyline {
    std::vector<Point> points;
    Color stroke;
    double width = 1.0;
};

// The min..max band of one strip: one pixel column each, filled from top to
// bottom (top <= bottom, at least one pixel tall).
struct BandColumn {
    int x = 0;
    double top = 0.0, bottom = 0.0;
};
struct Band {
    std::vector<BandColumn> columns;
    Color fill;
};

enum class HAlign { Left, Center, Right };
enum class VAlign { Top, Middle };

// Text anchored at (x, y); bold for strip titles.
struct Label {
    double x = 0.0, y = 0.0;
    std::string text;  // UTF-8
    HAlign h = HAlign::Left;
    VAlign v = VAlign::Top;
    Color color;
    bool bold = false;
};

struct TextSize {
    double width = 0.0, height = 0.0;
};
// The size of a text in the font the picture is drawn with (bold or not).
using MeasureText = std::function<TextSize(const std::string& text, bool bold)>;

// The frame of one strip: its plot area and the value range it maps.
struct Strip {
    FillRect plot;      // the data area (x range shared by every strip)
    ValueRange values;  // plot.y + plot.h ↔ values.lo, plot.y ↔ values.hi
    std::string title;  // "V target [V]"
    bool has_data = false;  // any readout with a value in the visible range
    // Hidden strips take no room: their plot is 0 pixels tall and nothing
    // of them is drawn.
    bool shown = true;
};

// Everything to draw, in this order: background, rects (strip areas), grid,
// gaps (missing time, shaded over the grid), bands, means, segments (axes,
// ticks), labels, overlay (the selection, translucent).
struct Scene {
    int width = 0, height = 0;
    double font_px = 0.0;  // the text height the labels were measured with
    bool dark = false;     // laid out in dark colours (SceneRequest::dark)
    Color background;
    std::vector<FillRect> rects;
    std::vector<Segment> grid;
    std::vector<FillRect> gaps;
    std::vector<Band> bands;
    std::vector<Polyline> means;
    std::vector<Segment> segments;
    std::vector<Label> labels;
    std::vector<FillRect> overlay;

    TimeRange range;                         // the visible time
    std::array<Strip, kSceneStripCount> strips;   // top to bottom, hidden ones included

    // The pixel column of a time and the time at the left edge of a column
    // (x of the plot's left edge ↔ range.t0_ms). Outside the plot they
    // extrapolate.
    double x_of(int64_t time_ms) const;
    int64_t time_at(double x) const;
    // The shown strip under y, or -1.
    int strip_at(double y) const;
    // The value ranges drawn, for "Lock Y".
    std::array<ValueRange, kStripCount> value_ranges() const;
};

struct SceneRequest {
    int width = 0, height = 0;  // pixels; a picture smaller than the margins has no strips' data
    TimeRange range;            // usually View::range()
    // Locked value ranges (View::locked_y()); unset: each strip fits the
    // min..max visible in range, widened to round ticks.
    std::optional<std::array<ValueRange, kStripCount>> locked_y;
    std::optional<TimeRange> selection;  // shaded over the plots when set
    // A line above the strips (a picture's file, span and zone); none when empty.
    std::string title;
    // Every colour turned for a dark background (trend/palette.h).
    bool dark = false;
    // Marker times: a line over every strip each, named A, B, ... in order
    // above the top strip; those outside the visible time are not drawn.
    std::vector<int64_t> markers;
    // Which strips are laid out, in Scene::strips' order; at least one
    // shown gives the time axis something to stand under.
    std::array<bool, kSceneStripCount> shown = kDefaultShownStrips;
    MeasureText measure;                 // required
    double font_px = 12.0;               // passed to Scene::font_px
};

// Lays out the picture of series over request.range. Needs a measure; never
// fails: no data gives strips with axes and titles only. The power strip's
// columns are the mean power over each column's time (energy / time from
// Series::integrals, gaps left out), so its band is its mean line: the
// readouts' extremes of a product are not in the levels.
Scene build_scene(const SceneRequest& request, const Series& series);

// The strip titles in the window's row order: "V target [V]", "I supply [mA]",
// "A0 [V]", "A1 [V]", then the power strip's "P target [mW]".
const std::array<std::string, kSceneStripCount>& strip_titles();

// Power columns of the target over [t0, t1) in n columns, as
// Series::columns gives a reading's: min = max = mean = the column's energy
// over the time V target and I supply both stand for; no data without
// such time; a gap where either reading has one.
void power_columns(const Series& series, double t0_ms, double t1_ms, int n, std::vector<Column>& out);

}  // namespace trend

#endif
