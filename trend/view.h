// What part of a trend is on screen: the time range (following the newest
// readout with a fixed span, or set by zooming and panning) and the value
// ranges held by "Lock Y". A value type with pure operations: it never reads
// the clock or the series; the caller passes the data's extent.
#ifndef TALVIRO_TREND_VIEW_H
#define TALVIRO_TREND_VIEW_H

#include <array>
#include <cstdint>
#include <optional>

namespace trend {

constexpr int kStripCount = 4;  // V target, I supply, A0, A1: the window's rows

// Milliseconds since the epoch, UTC; [t0_ms, t1_ms), t0_ms < t1_ms.
struct TimeRange {
    int64_t t0_ms = 0;
    int64_t t1_ms = 1;
    int64_t width_ms() const { return t1_ms - t0_ms; }
    bool operator==(const TimeRange& o) const { return t0_ms == o.t0_ms && t1_ms == o.t1_ms; }
};

// Times of the first and last readout held; empty when there is none.
struct Extent {
    bool empty = true;
    int64_t first_ms = 0;
    int64_t last_ms = 0;
};

// A value axis: lo < hi.
struct ValueRange {
    double lo = 0.0;
    double hi = 1.0;
    bool operator==(const ValueRange& o) const { return lo == o.lo && hi == o.hi; }
};

// The spans a live view can follow with.
enum class Span { OneMinute, TenMinutes, OneHour, All };
// 60 000, 600 000, 3 600 000; All: 0 (the whole extent).
int64_t span_ms(Span span);

// Keys the trend window passes on: + − ← → Home End.
enum class Key { ZoomIn, ZoomOut, Left, Right, Home, End };

// The narrowest range a zoom reaches: the time ticks go down to milliseconds.
constexpr int64_t kMinWidthMs = 10;
// A key zoom halves or doubles the width; a key pan moves a quarter of it.
constexpr double kKeyZoomFactor = 2.0;
constexpr double kKeyPanFraction = 0.25;
// The range shown while there is no readout at all.
constexpr int64_t kEmptyWidthMs = 60'000;

class View {
public:
    // Live, following with Span::All, no Y lock.
    View() = default;

    // The range to draw for the data's extent. Live: [last - span + 1, last + 1)
    // (Span::All: [first, last + 1), at least kMinWidthMs wide); otherwise the
    // range last set by a zoom, pan or home. Live with no data:
    // [0, kEmptyWidthMs).
    TimeRange range(const Extent& data) const;

    bool live() const { return live_; }
    Span span() const { return span_; }

    // Chooses the live span and resumes following (the span choice and
    // "Live" in the window).
    void set_span(Span span);
    // Resumes following with the current span (End, "Live").
    void follow();

    // Stops following and shows everything: [first, last + 1).
    void home(const Extent& data);
    // Stops following and scales the range's width by factor (< 1 zooms in)
    // keeping anchor_ms at the same place on the axis. The width stays at
    // least kMinWidthMs and at most the data's extent (or the current width,
    // whichever is larger). A factor <= 0 changes nothing.
    void zoom(const Extent& data, double factor, int64_t anchor_ms);
    // Stops following and moves the range by delta_ms (> 0: later), kept so
    // that it still overlaps the data.
    void pan(const Extent& data, int64_t delta_ms);
    // Stops following and shows [t0, t1) (swapped if given backwards),
    // widened about its middle to kMinWidthMs. The window's "Zoom to
    // selection".
    void zoom_to(int64_t t0_ms, int64_t t1_ms);
    // The keyboard: + − zoom about the middle by kKeyZoomFactor, ← → pan by
    // kKeyPanFraction of the width, Home as home(), End as follow().
    void key(const Extent& data, Key key);

    // "Lock Y": while set, the strips keep these value ranges instead of
    // fitting the visible data. The window passes the ranges on screen
    // (Scene::value_range) when the choice is ticked.
    void lock_y(const std::array<ValueRange, kStripCount>& ranges);
    void unlock_y();
    bool y_locked() const { return locked_y_.has_value(); }
    const std::optional<std::array<ValueRange, kStripCount>>& locked_y() const { return locked_y_; }

private:
    void fix(const TimeRange& range);

    bool live_ = true;
    Span span_ = Span::All;
    TimeRange fixed_;           // the range while not live
    std::optional<std::array<ValueRange, kStripCount>> locked_y_;
};

}  // namespace trend

#endif
