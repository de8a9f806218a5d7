// The trend view's time ranges: following, zooming, panning, keys, Lock Y.
#include "trend/view.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using trend::Extent;
using trend::Key;
using trend::Span;
using trend::TimeRange;
using trend::View;

constexpr int64_t kHour = 3'600'000;
// Two hours of data starting at an arbitrary instant: everything is
// [kFirst, kFirst + 2 h).
constexpr int64_t kFirst = 1'796'000'000'000;
constexpr Extent kData{false, kFirst, kFirst + 2 * kHour - 1};

TEST(trendView, LiveRangeFollowsTheNewestReadoutWithItsSpan) {
    struct Row {
        Span span;
        Extent data;
        TimeRange expected;
    };
    const std::vector<Row> rows = {
        {Span::OneMinute, kData, {kData.last_ms + 1 - 60'000, kData.last_ms + 1}},
        {Span::TenMinutes, kData, {kData.last_ms + 1 - 600'000, kData.last_ms + 1}},
        {Span::OneHour, kData, {kData.last_ms + 1 - kHour, kData.last_ms + 1}},
        {Span::All, kData, {kData.first_ms, kData.last_ms + 1}},
        // One readout: All is kMinWidthMs wide, the readout at the right edge.
        {Span::All, {false, 500, 500}, {501 - trend::kMinWidthMs, 501}},
        // A span longer than the data still ends at the newest readout.
        {Span::OneHour, {false, 0, 1000}, {1001 - kHour, 1001}},
        {Span::OneMinute, {}, {0, trend::kEmptyWidthMs}},
    };
    for (const Row& row : rows) {
        View view;
        view.set_span(row.span);
        EXPECT_TRUE(view.live());
        EXPECT_EQ(view.range(row.data), row.expected) << static_cast<int>(row.span);
    }
}

TEST(trendView, ZoomKeepsTheAnchorAndStopsFollowing) {
    struct Row {
        double factor;
        int64_t anchor;  // from kFirst
        TimeRange expected;  // from kFirst
    };
    const std::vector<Row> rows = {
        // Anchor at a quarter: it stays at a quarter of the narrower range.
        {0.5, kHour / 2, {kHour / 4, kHour / 4 + kHour}},
        {0.5, 0, {0, kHour}},
        {0.5, 2 * kHour, {kHour, 2 * kHour}},
        // Zooming out stops at everything; zooming in at kMinWidthMs.
        {4.0, kHour, {0, 2 * kHour}},
        {1e-12, 0, {0, trend::kMinWidthMs}},
        // An anchor outside the range is held at its nearer edge.
        {0.5, -kHour, {0, kHour}},
    };
    for (const Row& row : rows) {
        View view;
        view.zoom(kData, row.factor, kFirst + row.anchor);
        EXPECT_FALSE(view.live());
        const TimeRange expected{kFirst + row.expected.t0_ms, kFirst + row.expected.t1_ms};
        EXPECT_EQ(view.range(kData), expected) << row.factor << " at " << row.anchor;
        // The range no longer moves with new data.
        EXPECT_EQ(view.range({false, kFirst, kFirst + 5 * kHour}), expected);
    }
    View view;
    const TimeRange before = view.range(kData);
    view.zoom(kData, 0.0, kFirst);
    view.zoom(kData, -1.0, kFirst);
    EXPECT_TRUE(view.live());
    EXPECT_EQ(view.range(kData), before);
}

TEST(trendView, KeysZoomAboutTheMiddlePanAndGoHomeOrLive) {
    View view;
    view.set_span(Span::OneHour);
    const TimeRange live = view.range(kData);  // the second hour
    const int64_t middle = live.t0_ms + kHour / 2;

    view.key(kData, Key::ZoomIn);
    EXPECT_EQ(view.range(kData), (TimeRange{middle - kHour / 4, middle + kHour / 4}));
    view.key(kData, Key::ZoomOut);
    EXPECT_EQ(view.range(kData), live);
    view.key(kData, Key::Left);
    EXPECT_EQ(view.range(kData), (TimeRange{live.t0_ms - kHour / 4, live.t1_ms - kHour / 4}));
    view.key(kData, Key::Right);
    EXPECT_EQ(view.range(kData), live);
    EXPECT_FALSE(view.live());

    view.key(kData, Key::Home);
    EXPECT_FALSE(view.live());
    EXPECT_EQ(view.range(kData), (TimeRange{kData.first_ms, kData.last_ms + 1}));

    view.key(kData, Key::End);
    EXPECT_TRUE(view.live());
    EXPECT_EQ(view.span(), Span::OneHour);
    EXPECT_EQ(view.range(kData), live);
}

TEST(trendView, PanKeepsSomeDataOnScreen) {
    struct Row {
        int64_t delta;
        TimeRange expected;  // from kFirst, after zooming to the first hour
    };
    const int64_t keep = trend::kMinWidthMs;
    const std::vector<Row> rows = {
        {kHour / 2, {kHour / 2, kHour / 2 + kHour}},
        {-kHour / 2, {-kHour / 2, kHour / 2}},
        {100 * kHour, {2 * kHour - keep, 3 * kHour - keep}},
        {-100 * kHour, {keep - kHour, keep}},
    };
    for (const Row& row : rows) {
        View view;
        view.zoom_to(kFirst, kFirst + kHour);
        view.pan(kData, row.delta);
        EXPECT_EQ(view.range(kData), (TimeRange{kFirst + row.expected.t0_ms, kFirst + row.expected.t1_ms}))
            << row.delta;
    }
}

TEST(trendView, ZoomToSelectionOrdersAndWidensTheSpan) {
    struct Row {
        int64_t t0, t1;
        TimeRange expected;
    };
    const std::vector<Row> rows = {
        {1000, 5000, {1000, 5000}},
        {5000, 1000, {1000, 5000}},
        {1000, 1000, {1000 - trend::kMinWidthMs / 2, 1000 + trend::kMinWidthMs / 2}},
    };
    for (const Row& row : rows) {
        View view;
        view.zoom_to(row.t0, row.t1);
        EXPECT_FALSE(view.live());
        EXPECT_EQ(view.range(kData), row.expected);
    }
}

TEST(trendView, LockYHoldsTheGivenRangesUntilUnlocked) {
    View view;
    EXPECT_FALSE(view.y_locked());
    const std::array<trend::ValueRange, trend::kStripCount> ranges = {
        trend::ValueRange{0, 5}, {0, 100}, {-1, 1}, {2, 3}};
    view.lock_y(ranges);
    view.key(kData, Key::ZoomIn);
    ASSERT_TRUE(view.y_locked());
    EXPECT_EQ(*view.locked_y(), ranges);
    view.unlock_y();
    EXPECT_FALSE(view.locked_y().has_value());
}

}  // namespace
