#include "trend/view.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace trend {

namespace {

constexpr int64_t kMinuteMs = 60'000;

// [first, last + 1) at least kMinWidthMs wide, widened to the left so that
// the newest readout stays at the right edge.
TimeRange everything(const Extent& data) {
    TimeRange r{data.first_ms, data.last_ms + 1};
    if (r.width_ms() < kMinWidthMs)
        r.t0_ms = r.t1_ms - kMinWidthMs;
    return r;
}

}  // namespace

int64_t span_ms(Span span) {
    switch (span) {
    case Span::OneMinute:
        return kMinuteMs;
    case Span::TenMinutes:
        return 10 * kMinuteMs;
    case Span::OneHour:
        return 60 * kMinuteMs;
    case Span::All:
        break;
    }
    return 0;
}

TimeRange View::range(const Extent& data) const {
    if (!live_)
        return fixed_;
    if (data.empty)
        return TimeRange{0, kEmptyWidthMs};
    const int64_t span = span_ms(span_);
    if (span == 0)
        return everything(data);
    return TimeRange{data.last_ms + 1 - span, data.last_ms + 1};
}

void View::set_span(Span span) {
    span_ = span;
    live_ = true;
}

void View::follow() { live_ = true; }

void View::fix(const TimeRange& range) {
    fixed_ = range;
    live_ = false;
}

void View::home(const Extent& data) {
    fix(data.empty ? TimeRange{0, kEmptyWidthMs} : everything(data));
}

void View::zoom(const Extent& data, double factor, int64_t anchor_ms) {
    if (!(factor > 0.0) || !std::isfinite(factor))
        return;
    const TimeRange now = range(data);
    const double old_width = static_cast<double>(now.width_ms());
    const double widest = std::max(old_width, data.empty ? 0.0 : static_cast<double>(everything(data).width_ms()));
    const double width = std::clamp(old_width * factor, static_cast<double>(kMinWidthMs), widest);
    // The anchor keeps its fraction of the axis; one outside it is held at
    // the nearer edge.
    const int64_t anchor = std::clamp(anchor_ms, now.t0_ms, now.t1_ms);
    const double fraction = static_cast<double>(anchor - now.t0_ms) / old_width;
    const int64_t t0 = anchor - std::llround(fraction * width);
    fix(TimeRange{t0, t0 + std::llround(width)});
}

void View::pan(const Extent& data, int64_t delta_ms) {
    TimeRange r = range(data);
    r.t0_ms += delta_ms;
    r.t1_ms += delta_ms;
    if (!data.empty) {
        // Some of the data stays on screen: at most all but kMinWidthMs of
        // the range may lie beyond either end of it.
        const int64_t keep = std::min(kMinWidthMs, r.width_ms());
        if (r.t0_ms > data.last_ms + 1 - keep) {
            const int64_t shift = r.t0_ms - (data.last_ms + 1 - keep);
            r.t0_ms -= shift;
            r.t1_ms -= shift;
        }
        if (r.t1_ms < data.first_ms + keep) {
            const int64_t shift = data.first_ms + keep - r.t1_ms;
            r.t0_ms += shift;
            r.t1_ms += shift;
        }
    }
    fix(r);
}

void View::zoom_to(int64_t t0_ms, int64_t t1_ms) {
    if (t1_ms < t0_ms)
        std::swap(t0_ms, t1_ms);
    if (t1_ms - t0_ms < kMinWidthMs) {
        const int64_t middle = t0_ms + (t1_ms - t0_ms) / 2;
        t0_ms = middle - kMinWidthMs / 2;
        t1_ms = t0_ms + kMinWidthMs;
    }
    fix(TimeRange{t0_ms, t1_ms});
}

void View::key(const Extent& data, Key key) {
    const TimeRange r = range(data);
    const int64_t middle = r.t0_ms + r.width_ms() / 2;
    const int64_t step = std::max<int64_t>(1, std::llround(r.width_ms() * kKeyPanFraction));
    switch (key) {
    case Key::ZoomIn:
        zoom(data, 1.0 / kKeyZoomFactor, middle);
        break;
    case Key::ZoomOut:
        zoom(data, kKeyZoomFactor, middle);
        break;
    case Key::Left:
        pan(data, -step);
        break;
    case Key::Right:
        pan(data, step);
        break;
    case Key::Home:
        home(data);
        break;
    case Key::End:
        follow();
        break;
    }
}

void View::lock_y(const std::array<ValueRange, kStripCount>& ranges) { locked_y_ = ranges; }

void View::unlock_y() { locked_y_.reset(); }

}  // namespace trend
