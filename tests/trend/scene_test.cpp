// The trend picture's layout: where strips, bands, means, gaps and the
// selection land for a given size, with a text measure of fixed-width glyphs.
#include "trend/scene.h"
#include "trend/series.h"
#include "trend/svg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

namespace {

using trend::Scene;
using trend::SceneRequest;
using trend::Series;

constexpr double kGlyphW = 7.0, kGlyphH = 14.0;
constexpr int64_t kStart = 1'796'688'000'000;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

SceneRequest request(int width, int height, int64_t t0, int64_t t1) {
    SceneRequest r;
    r.width = width;
    r.height = height;
    r.range = trend::TimeRange{t0, t1};
    r.measure = [](const std::string& text, bool) { return trend::TextSize{kGlyphW * text.size(), kGlyphH}; };
    return r;
}

// n readouts 1 s apart from kStart; V target missing where gap(i) holds.
Series series_of(int n, bool (*gap)(int)) {
    Series s(0);
    for (int i = 0; i < n; ++i) {
        const float v = gap(i) ? kNaN : 3.3f;
        EXPECT_TRUE(s.append(trend::Readout{kStart + i * 1000, {v, 20.0f + i % 3, 1.2f, 0.5f}}));
    }
    return s;
}

bool no_gap(int) { return false; }

// The strip's x range of a mean's points, a gap's columns.
bool inside(double x, double a, double b) { return x >= a && x < b; }

TEST(trendScene, StripsShareTheTimeAxisStackedInsideThePicture) {
    const Series s = series_of(100, no_gap);
    const Scene scene = trend::build_scene(request(800, 600, kStart, kStart + 100'000), s);
    const std::vector<std::string> titles = {"V target [V]", "I supply [mA]", "A0 [V]", "A1 [V]"};
    double last_bottom = 0.0;
    for (int i = 0; i < trend::kStripCount; ++i) {
        const trend::FillRect& plot = scene.strips[i].plot;
        EXPECT_EQ(scene.strips[i].title, titles[i]);
        EXPECT_EQ(plot.x, scene.strips[0].plot.x);
        EXPECT_EQ(plot.w, scene.strips[0].plot.w);
        EXPECT_GE(plot.y, last_bottom + kGlyphH) << "room for the title";
        EXPECT_GT(plot.h, 0.0);
        EXPECT_EQ(plot.y, std::floor(plot.y)) << "whole pixel rows";
        last_bottom = plot.y + plot.h;
        EXPECT_EQ(scene.strip_at(plot.y + plot.h / 2), i);
        EXPECT_TRUE(scene.strips[i].has_data);
    }
    EXPECT_LE(last_bottom + kGlyphH, 600.0) << "room for the time labels";
    EXPECT_LE(scene.strips[0].plot.x + scene.strips[0].plot.w, 800.0);
    // x and time map onto each other across the plot.
    EXPECT_EQ(scene.x_of(kStart), scene.strips[0].plot.x);
    EXPECT_EQ(scene.x_of(kStart + 100'000), scene.strips[0].plot.x + scene.strips[0].plot.w);
    for (int64_t t : {kStart, kStart + 12'345, kStart + 100'000})
        EXPECT_NEAR(static_cast<double>(scene.time_at(scene.x_of(t))), static_cast<double>(t), 1.0);
}

TEST(trendScene, ABandColumnPerPixelWhateverTheReadouts) {
    for (int n : {10, 5000}) {
        const Series s = series_of(n, no_gap);
        const Scene scene = trend::build_scene(request(640, 480, kStart, kStart + n * 1000), s);
        const int n_px = static_cast<int>(scene.strips[0].plot.w);
        ASSERT_EQ(scene.bands.size(), 4u) << n;
        const size_t expected = static_cast<size_t>(std::min(n, n_px));
        for (const trend::Band& band : scene.bands) {
            EXPECT_EQ(band.columns.size(), expected) << n;
            for (const trend::BandColumn& c : band.columns) {
                EXPECT_LE(c.top + 1.0, c.bottom);
                EXPECT_TRUE(inside(c.x, scene.strips[0].plot.x, scene.strips[0].plot.x + n_px));
            }
        }
    }
}

TEST(trendScene, AGapIsShadedForItsReadingOnlyAndBreaksItsMean) {
    struct Row {
        int first, last;  // readouts without V target
    };
    for (const Row& row : {Row{40, 44}, Row{0, 9}, Row{90, 99}}) {
        static Row current;
        current = row;
        const Series s = series_of(100, [](int i) { return i >= current.first && i <= current.last; });
        const Scene scene = trend::build_scene(request(1000, 600, kStart, kStart + 100'000), s);
        // Missing: from the first readout without it to the next with it
        // (or to the last readout).
        const int64_t end = row.last < 99 ? (row.last + 1) * 1000 : row.last * 1000 + 1;
        const double a = scene.x_of(kStart + row.first * 1000);
        const double b = scene.x_of(kStart + end);
        const trend::FillRect& plot = scene.strips[0].plot;
        ASSERT_EQ(scene.gaps.size(), 1u) << row.first;
        const trend::FillRect& gap = scene.gaps[0];
        EXPECT_LE(gap.x, a);
        EXPECT_GE(gap.x + gap.w, b);
        EXPECT_LE(gap.w, b - a + 2.0);
        EXPECT_EQ(gap.y, plot.y);
        EXPECT_EQ(gap.h, plot.h);
        // No point of V target's mean lies in the gap's columns; a line
        // on each side that has readouts.
        int runs = 0;
        for (const trend::Polyline& line : scene.means) {
            if (!(line.points.front().y >= plot.y && line.points.front().y <= plot.y + plot.h))
                continue;
            ++runs;
            for (const trend::Point& p : line.points)
                EXPECT_FALSE(inside(p.x, gap.x, gap.x + gap.w)) << p.x;
        }
        EXPECT_EQ(runs, (row.first > 0) + (row.last < 99)) << row.first;
    }
}

// The strip's mean lines, their points in order.
std::vector<const trend::Polyline*> means_of(const Scene& scene, int strip) {
    std::vector<const trend::Polyline*> out;
    const trend::FillRect& plot = scene.strips[strip].plot;
    for (const trend::Polyline& line : scene.means)
        if (line.points.front().y >= plot.y && line.points.front().y <= plot.y + plot.h) out.push_back(&line);
    return out;
}

TEST(trendScene, LinesRunToTheReadoutsJustOutsideTheViewUnlessAGapLiesThere) {
    // V target missing at readout 20; a marked gap between readouts 80 and 81.
    Series s(0);
    for (int i = 0; i < 100; ++i) {
        if (i == 81) s.append_gap(kStart + 80'500);
        s.append(trend::Readout{kStart + i * 1000, {i == 20 ? kNaN : 3.0f + i % 7, 20.0f + i % 3, 1.2f, 0.5f}});
    }
    struct Row {
        const char* name;
        int64_t t0, t1;  // from kStart
        bool left, right;  // V target's line reaches the edge
        bool i_left, i_right;  // I supply's
    };
    const std::vector<Row> rows = {
        {"2x zoom, readouts inside each edge", 25'500, 75'500, true, true, true, true},
        {"zoomed between two readouts", 40'200, 40'700, true, true, true, true},
        {"a missing V target just before", 20'400, 50'000, false, true, true, true},
        {"a marked gap just after", 50'000, 80'700, true, false, true, false},
        {"the first readout inside, nothing before", -5'000, 50'000, false, true, false, true},
        {"the last inside, nothing after", 50'000, 120'000, true, false, true, false},
    };
    for (const Row& row : rows) {
        const Scene scene = trend::build_scene(request(900, 600, kStart + row.t0, kStart + row.t1), s);
        for (const int strip : {0, 1}) {
            const trend::FillRect& plot = scene.strips[strip].plot;
            const auto lines = means_of(scene, strip);
            ASSERT_FALSE(lines.empty()) << row.name;
            const double first = lines.front()->points.front().x, last = lines.back()->points.back().x;
            const bool left = strip == 0 ? row.left : row.i_left, right = strip == 0 ? row.right : row.i_right;
            EXPECT_EQ(first == plot.x, left) << row.name << ", strip " << strip << ": " << first;
            EXPECT_EQ(last == plot.x + plot.w, right) << row.name << ", strip " << strip << ": " << last;
            for (const auto* line : lines)
                for (const trend::Point& p : line->points) {
                    EXPECT_GE(p.x, plot.x) << row.name;
                    EXPECT_LE(p.x, plot.x + plot.w) << row.name;
                    EXPECT_GE(p.y, plot.y) << row.name;
                    EXPECT_LE(p.y, plot.y + plot.h) << row.name;
                }
        }
    }
}

TEST(trendScene, ATwoHourHoleIsShadedAndHoldsNoTracePixel) {
    // A 1 s log with two hours missing after readout 600.
    Series s(0);
    const int64_t hole = 2 * 3'600'000;
    auto time = [&](int i) { return kStart + i * 1000 + (i > 600 ? hole : 0); };
    for (int i = 0; i < 1200; ++i) s.append(trend::Readout{time(i), {3.3f, 20.0f + i % 5, 1.2f, 0.5f}});
    // The power strip too: its columns are integrals, which leave the hole out.
    SceneRequest r = request(1000, 600, time(0), time(1199) + 1);
    r.shown[trend::kPowerStrip] = true;
    const Scene scene = trend::build_scene(r, s);
    const double a = scene.x_of(time(600)), b = scene.x_of(time(601));
    ASSERT_TRUE(scene.strips[trend::kPowerStrip].has_data);
    for (int strip = 0; strip < trend::kSceneStripCount; ++strip) {
        const trend::FillRect& plot = scene.strips[strip].plot;
        bool shaded = false;
        for (const trend::FillRect& g : scene.gaps)
            shaded = shaded || (g.y == plot.y && g.x <= a + 1 && g.x + g.w >= b - 1);
        EXPECT_TRUE(shaded) << strip;
        // Nothing drawn strictly inside the hole's whole pixels.
        for (const trend::Band& band : scene.bands)
            for (const trend::BandColumn& c : band.columns)
                EXPECT_FALSE(c.x >= std::ceil(a) && c.x + 1 <= std::floor(b)) << c.x;
        for (const auto* line : means_of(scene, strip))
            for (size_t k = 0; k < line->points.size(); ++k) {
                EXPECT_FALSE(line->points[k].x > a + 1 && line->points[k].x < b - 1);
                if (k > 0) {
                    EXPECT_FALSE(line->points[k - 1].x < a && line->points[k].x > b) << "a line across";
                }
            }
    }
}

TEST(trendScene, AReadingAtZeroThroughoutHasFiniteTicksAndATraceAtEveryHeight) {
    Series s(0);
    for (int i = 0; i < 300; ++i) s.append(trend::Readout{kStart + i * 1000, {3.3f, 0.0f, -0.5f + (i % 2), 0.0f}});
    for (int height = 64; height <= 400; height += 10) {
        const Scene scene = trend::build_scene(request(800, height, kStart, kStart + 300'000), s);
        std::ostringstream svg;
        ASSERT_TRUE(trend::write_svg(svg, scene));
        EXPECT_EQ(svg.str().find("nan"), std::string::npos) << height;
        EXPECT_EQ(svg.str().find("inf"), std::string::npos) << height;
        if (scene.strips[0].plot.h < 1) continue;
        EXPECT_EQ(scene.bands.size(), 4u) << height;
        for (const trend::Strip& strip : scene.strips) {
            EXPECT_TRUE(std::isfinite(strip.values.lo) && std::isfinite(strip.values.hi)) << height;
            EXPECT_LT(strip.values.lo, strip.values.hi) << height;
        }
    }
}

TEST(trendScene, TimeLabelsKeepTheirMarginFromThePicturesEdges) {
    const Series s = series_of(100, no_gap);
    for (const int64_t t0 : {kStart, kStart + 1, kStart + 999}) {
        const Scene scene = trend::build_scene(request(400, 300, t0, t0 + 100'000), s);
        for (const trend::Label& label : scene.labels) {
            if (label.h != trend::HAlign::Center) continue;
            const double half = kGlyphW * label.text.size() / 2;
            EXPECT_GE(label.x - half, 1.0) << label.text;
            EXPECT_LE(label.x + half, 399.0) << label.text;
        }
    }
}

TEST(trendScene, LockedValuesHoldTheAxisAndKeepTheBandOnThePlot) {
    const Series s = series_of(100, no_gap);
    SceneRequest r = request(800, 600, kStart, kStart + 100'000);
    r.locked_y = std::array<trend::ValueRange, trend::kStripCount>{
        trend::ValueRange{0.0, 1.0}, {0.0, 100.0}, {-5.0, 5.0}, {0.6, 0.7}};
    const Scene scene = trend::build_scene(r, s);
    EXPECT_EQ(scene.value_ranges(), *r.locked_y);
    // V target (3.3 V) is above its locked range, A1 (0.5 V) below: both
    // stay on their plot, at its edge.
    ASSERT_EQ(scene.bands.size(), 4u);
    for (int i = 0; i < trend::kStripCount; ++i) {
        const trend::FillRect& plot = scene.strips[i].plot;
        for (const trend::BandColumn& c : scene.bands[i].columns) {
            EXPECT_GE(c.top, plot.y) << i;
            EXPECT_LE(c.bottom, plot.y + plot.h) << i;
        }
    }
    ASSERT_EQ(scene.means.size(), 4u);
    for (const trend::Point& p : scene.means[0].points)
        EXPECT_EQ(p.y, scene.strips[0].plot.y);
    for (const trend::Point& p : scene.means[3].points)
        EXPECT_EQ(p.y, scene.strips[3].plot.y + scene.strips[3].plot.h);
}

TEST(trendScene, TheSelectionShadesItsSpanOnEveryStrip) {
    const Series s = series_of(100, no_gap);
    struct Row {
        int64_t t0, t1;  // from kStart
        size_t rects;
    };
    for (const Row& row : {Row{20'000, 30'000, 4}, Row{-50'000, 10'000, 4}, Row{200'000, 300'000, 0}}) {
        SceneRequest r = request(800, 600, kStart, kStart + 100'000);
        r.selection = trend::TimeRange{kStart + row.t0, kStart + row.t1};
        const Scene scene = trend::build_scene(r, s);
        ASSERT_EQ(scene.overlay.size(), row.rects) << row.t0;
        for (size_t i = 0; i < scene.overlay.size(); ++i) {
            const trend::FillRect& plot = scene.strips[i].plot;
            EXPECT_EQ(scene.overlay[i].x, std::max(plot.x, scene.x_of(kStart + row.t0)));
            EXPECT_EQ(scene.overlay[i].x + scene.overlay[i].w, scene.x_of(kStart + row.t1));
            EXPECT_EQ(scene.overlay[i].y, plot.y);
            EXPECT_LT(scene.overlay[i].fill.a, 255) << "the data shows through";
        }
    }
}

TEST(trendScene, NoDataDrawsAxesAndTitlesOnly) {
    const Series empty(0);
    for (const auto& size : {std::pair{800, 600}, std::pair{10, 10}, std::pair{0, 0}}) {
        const Scene scene = trend::build_scene(request(size.first, size.second, 0, 60'000), empty);
        EXPECT_TRUE(scene.bands.empty());
        EXPECT_TRUE(scene.means.empty());
        EXPECT_TRUE(scene.gaps.empty());
        EXPECT_EQ(scene.labels.empty(), false);
        for (const trend::Strip& strip : scene.strips)
            EXPECT_FALSE(strip.has_data);
    }
}

TEST(trendScene, SvgEscapesTheText) {
    Scene scene;
    scene.width = 10;
    scene.height = 10;
    trend::Label label;
    label.text = "a<b & \"c\" 'd' >";
    scene.labels.push_back(label);
    std::ostringstream out;
    ASSERT_TRUE(trend::write_svg(out, scene));
    EXPECT_NE(out.str().find(">a&lt;b &amp; &quot;c&quot; &apos;d&apos; &gt;</text>"), std::string::npos) << out.str();
}

}  // namespace
