#include "trend/palette.h"

#include <algorithm>
#include <cmath>

namespace trend {

namespace {

constexpr double kMaxChannel = 255.0;
// Colours between these lightnesses (the readings' lines, the axes) are
// seen on white and on black alike: they keep the lighter of l and 1 - l.
constexpr double kMiddleLow = 0.3;
constexpr double kMiddleHigh = 0.7;

double hue_channel(double p, double q, double t) {
    if (t < 0.0) t += 1.0;
    if (t > 1.0) t -= 1.0;
    if (t < 1.0 / 6.0) return p + (q - p) * 6.0 * t;
    if (t < 0.5) return q;
    if (t < 2.0 / 3.0) return p + (q - p) * (2.0 / 3.0 - t) * 6.0;
    return p;
}

uint8_t channel(double v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * kMaxChannel)); }

}  // namespace

Color dark_counterpart(Color c) {
    const double r = c.r / kMaxChannel, g = c.g / kMaxChannel, b = c.b / kMaxChannel;
    const double hi = std::max({r, g, b}), lo = std::min({r, g, b});
    const double l = (hi + lo) / 2.0;
    const double new_l = l >= kMiddleLow && l <= kMiddleHigh ? std::max(l, 1.0 - l) : 1.0 - l;
    if (hi == lo) return Color{channel(new_l), channel(new_l), channel(new_l), c.a};
    const double d = hi - lo;
    const double s = l > 0.5 ? d / (2.0 - hi - lo) : d / (hi + lo);
    double h = hi == r ? (g - b) / d + (g < b ? 6.0 : 0.0) : hi == g ? (b - r) / d + 2.0 : (r - g) / d + 4.0;
    h /= 6.0;
    const double q = new_l < 0.5 ? new_l * (1.0 + s) : new_l + s - new_l * s;
    const double p = 2.0 * new_l - q;
    return Color{channel(hue_channel(p, q, h + 1.0 / 3.0)), channel(hue_channel(p, q, h)),
                 channel(hue_channel(p, q, h - 1.0 / 3.0)), c.a};
}

void darken(Scene& scene) {
    scene.background = dark_counterpart(scene.background);
    for (auto* rects : {&scene.rects, &scene.gaps, &scene.overlay})
        for (FillRect& r : *rects) r.fill = dark_counterpart(r.fill);
    for (auto* segments : {&scene.grid, &scene.segments})
        for (Segment& s : *segments) s.stroke = dark_counterpart(s.stroke);
    for (Band& band : scene.bands) band.fill = dark_counterpart(band.fill);
    for (Polyline& line : scene.means) line.stroke = dark_counterpart(line.stroke);
    for (Label& label : scene.labels) label.color = dark_counterpart(label.color);
    for (Strip& strip : scene.strips) strip.plot.fill = dark_counterpart(strip.plot.fill);
}

}  // namespace trend
