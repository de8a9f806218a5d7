// The --watch view's arithmetic: the statistics it shows and how a trend is
// scaled to glyphs.
#include "cli/watch_view.h"

#include <gtest/gtest.h>

namespace {

struct LevelCase {
    double reading, min, max;
    int level;
};

// A1 readings of counts 0..3 (11.410286 V * count / 1024, single precision).
console::Sample a1_sample(uint16_t count, bool whole = true) {
    console::Sample sample;
    for (console::Conversion& c : sample.conversions) c = {0, true};
    sample.conversions[0] = {count, whole};
    return sample;
}

}  // namespace

TEST(WatchView, SparkLevelScalesBetweenTheRowsMinAndMax) {
    const LevelCase cases[] = {
        {1.0, 1.0, 2.0, 0},  {2.0, 1.0, 2.0, 7},        // the ends
        {1.5, 1.0, 2.0, 4},  {1.49, 1.0, 2.0, 3},        // 3.5 rounds up, 3.43 down
        {1.08, 1.0, 2.0, 1},  {1.06, 1.0, 2.0, 0},       // nearest level
        {0.5, 1.0, 2.0, 0},  {9.0, 1.0, 2.0, 7},         // outside: clamped
        {3.3, 3.3, 3.3, cli::kFlatSparkLevel},           // one value so far
        {-40, -50, -30, 4},  {1050, 0, 1050, 7},         // any range
    };
    for (const LevelCase& c : cases)
        EXPECT_EQ(cli::spark_level(c.reading, c.min, c.max), c.level)
            << c.reading << " in " << c.min << ".." << c.max;
}

TEST(WatchView, SparklineIsRightAlignedWithGapsForReadoutsNotWhole) {
    const std::deque<cli::TrendPoint> trend = {0.0, 7.0, std::nullopt, 3.5, 7.0};
    EXPECT_EQ(cli::sparkline(trend, 0, 7, 7, false), "  .# +#");
    EXPECT_EQ(cli::sparkline(trend, 0, 7, 3, false), " +#");  // the newest that fit
    EXPECT_EQ(cli::sparkline(trend, 0, 7, 2, true), "\u2585\u2588");
    EXPECT_EQ(cli::sparkline(trend, 0, 7, 0, true), "");
}

TEST(WatchView, StatisticsCoverWholeConversionsSinceTheLastReset) {
    cli::WatchModel model;
    model.add(0, a1_sample(100));
    model.add(0, a1_sample(300));
    model.add(0, a1_sample(900, false));
    model.add(0, a1_sample(200));
    const cli::Statistics::Range a1 = model.statistics().range(0);
    EXPECT_EQ(a1.whole, 3u);
    EXPECT_FLOAT_EQ(a1.min, 1.1142858f);
    EXPECT_FLOAT_EQ(a1.max, 3.3428572f);
    EXPECT_NEAR(a1.mean, 2.2285714, 1e-6);
    EXPECT_EQ(model.trend(0).size(), 4u);
    EXPECT_FALSE(model.trend(0)[2].has_value());

    model.reset();
    EXPECT_EQ(model.statistics().range(0).whole, 0u);
    EXPECT_TRUE(model.trend(0).empty());
    EXPECT_EQ(model.readouts(), 4u);  // the title keeps counting
    model.add(0, a1_sample(100));
    EXPECT_FLOAT_EQ(model.statistics().range(0).max, 1.1142858f);
}
