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
